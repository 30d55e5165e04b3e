#pragma once

#include <cstdio>
#include <source_location>

// A failed check prints where it failed and fails the run; the run goes on so
// that one report shows every failure.
inline int failed_checks = 0;

inline void check(bool condition, const std::source_location where = std::source_location::current()) {
  if (condition) return;
  ++failed_checks;
  std::fprintf(stderr, "%s:%u: check failed in %s\n", where.file_name(), where.line(), where.function_name());
}
