// Runs one check on several threads at once, for code that must be
// re-entrant: shared state or a data race shows up as a failure on some
// thread (and, in the sanitizer build, as a report).
#ifndef QUORVEL_TESTS_ON_THREADS_H
#define QUORVEL_TESTS_ON_THREADS_H

#include <gtest/gtest.h>

#include <thread>
#include <vector>

// Calls check(thread) on thread_count threads at once; each call returns the
// number of failures it saw, and every thread must see none.
template <typename Check> void expect_no_failures_on_threads(int thread_count, Check check) {
  std::vector<int> failures(static_cast<std::size_t>(thread_count), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t)
    threads.emplace_back([&failures, &check, t] { failures[t] = check(t); });
  for (std::thread &thread : threads)
    thread.join();
  for (int t = 0; t < thread_count; ++t)
    EXPECT_EQ(failures[t], 0) << "thread " << t;
}

#endif
