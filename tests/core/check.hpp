#pragma once

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <limits>
#include <source_location>
#include <sstream>
#include <string>
#include <vector>

// A failed check prints where it failed and fails the run; the run goes on so
// that one report shows every failure.
inline int failed_checks = 0;

inline void check(bool condition, const std::source_location where = std::source_location::current()) {
  if (condition) return;
  ++failed_checks;
  std::fprintf(stderr, "%s:%u: check failed in %s\n", where.file_name(), where.line(), where.function_name());
}

// Enough digits that two different floating-point values never print alike.
template <class T>
std::string printed(const T& value) {
  if constexpr (requires(std::ostream& out) { out << value; }) {
    std::ostringstream out;
    out << std::setprecision(std::numeric_limits<long double>::max_digits10) << value;
    return out.str();
  } else {
    return "(not printable)";
  }
}

// check(actual == expected) that also prints both values when they differ.
template <class Actual, class Expected>
void check_eq(const Actual& actual, const Expected& expected,
              const std::source_location where = std::source_location::current()) {
  check(actual == expected, where);
  if (actual == expected) return;
  std::fprintf(stderr, "  actual:   %s\n  expected: %s\n", printed(actual).c_str(),
               printed(expected).c_str());
}

struct TestSuite {
  const char* name;
  void (*run)();
};

inline std::vector<TestSuite>& test_suites() {
  static std::vector<TestSuite> all;
  return all;
}

inline bool register_test_suite(const char* name, void (*run)()) {
  test_suites().push_back({name, run});
  return true;
}

// Defines a suite of checks that core_tests lists and runs by name:
//   TEST_SUITE(column_tests) { ... }
#define TEST_SUITE(name)                                                                   \
  void name();                                                                             \
  [[maybe_unused]] static const bool name##_registered = register_test_suite(#name, name); \
  void name()
