// Names of the cases of a parameterised GoogleTest suite, for cases that
// carry their own name in a member `name`:
//   INSTANTIATE_TEST_SUITE_P(Prefix, Suite, testing::ValuesIn(cases), case_name);
#ifndef QUORVEL_TESTS_CASE_NAME_H
#define QUORVEL_TESTS_CASE_NAME_H

#include <string>

inline constexpr auto case_name = [](const auto &info) { return std::string(info.param.name); };

#endif
