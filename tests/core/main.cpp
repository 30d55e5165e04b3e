#include <cstdio>

#include "check.hpp"

void column_tests();
void sector_reader_tests();
void time_filter_tests();
void csv_tests();
void resampler_tests();
void unpack_tests();

int main() {
  column_tests();
  sector_reader_tests();
  time_filter_tests();
  csv_tests();
  resampler_tests();
  unpack_tests();
  if (failed_checks != 0) {
    std::fprintf(stderr, "%d check(s) failed\n", failed_checks);
    return 1;
  }
  std::puts("core tests passed");
  return 0;
}
