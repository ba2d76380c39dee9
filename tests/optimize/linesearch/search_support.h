// Test support: the arguments of one search as plain data, and a driver that
// runs a complete search by reverse communication.
#ifndef QUORVEL_TESTS_SEARCH_SUPPORT_H
#define QUORVEL_TESTS_SEARCH_SUPPORT_H

#include <cstring>
#include <string>
#include <vector>

#include "linesearch.h"

struct Search {
  double stp = 1, f = 0, g = -1;
  double ftol = 1e-3, gtol = 0.9, xtol = 0.1;
  double stpmin = 0, stpmax = 10;
  int isave[LINESEARCH_ISAVE_SIZE] = {};
  double dsave[LINESEARCH_DSAVE_SIZE] = {};
  std::vector<char> task = std::vector<char>(60, ' ');
};

// Sets the task text blank-padded to the buffer's length.
inline void set_task(Search &s, const std::string &text) {
  std::fill(s.task.begin(), s.task.end(), ' ');
  std::memcpy(s.task.data(), text.data(), std::min(text.size(), s.task.size()));
}

inline std::string task_text(const Search &s) { return std::string(s.task.begin(), s.task.end()); }

// The task text without its blank padding.
inline std::string task_word(const Search &s) {
  std::string t = task_text(s);
  return t.substr(0, t.find_last_not_of(' ') + 1);
}

inline void call(Search &s) {
  dcsrch_(&s.stp, &s.f, &s.g, &s.ftol, &s.gtol, &s.xtol, s.task.data(), &s.stpmin, &s.stpmax,
          s.isave, s.dsave, static_cast<int>(s.task.size()));
}

// A START call: the search then waits at its first evaluation.
inline void start(Search &s) {
  set_task(s, "START");
  call(s);
}

// Arguments of a search with the given first step, tolerances and bounds.
inline Search search_with(double stp, double ftol, double gtol, double xtol, double stpmin,
                          double stpmax) {
  Search s;
  s.stp = stp;
  s.ftol = ftol;
  s.gtol = gtol;
  s.xtol = xtol;
  s.stpmin = stpmin;
  s.stpmax = stpmax;
  return s;
}

struct Phi {
  double f, g;
};

struct Outcome {
  std::string task;          // final task, padding removed
  std::vector<double> steps; // every step at which an evaluation was asked for
  double stp;                // stp on the final return
  Search last;               // the arguments after the final return
};

// Runs a search from START until the task no longer asks for an evaluation.
template <typename Function> Outcome run_search(Function phi, Search s, int max_calls = 200) {
  const Phi at0 = phi(0.0);
  s.f = at0.f;
  s.g = at0.g;
  set_task(s, "START");
  Outcome out;
  for (int i = 0; i < max_calls; ++i) {
    call(s);
    if (task_text(s).compare(0, 2, "FG") != 0)
      break;
    out.steps.push_back(s.stp);
    const Phi p = phi(s.stp);
    s.f = p.f;
    s.g = p.g;
  }
  out.task = task_word(s);
  out.stp = s.stp;
  out.last = s;
  return out;
}

#endif
