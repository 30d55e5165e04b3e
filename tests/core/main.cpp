#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "check.hpp"

// core_tests [SUITE...] runs the named suites, or all of them; core_tests --list
// prints the suite names, one a line, from which CTest makes one test each.
namespace {

std::vector<TestSuite> sorted_suites() {
  std::vector<TestSuite> suites = test_suites();
  std::ranges::sort(suites, {}, [](const TestSuite& suite) { return std::string_view(suite.name); });
  return suites;
}

const TestSuite* find_suite(const std::vector<TestSuite>& suites, std::string_view name) {
  const auto found =
      std::ranges::find(suites, name, [](const TestSuite& suite) { return std::string_view(suite.name); });
  return found == suites.end() ? nullptr : &*found;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<TestSuite> suites = sorted_suites();
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--list") {
    for (const TestSuite& suite : suites) std::puts(suite.name);
    return 0;
  }
  std::vector<const TestSuite*> chosen;
  for (std::string_view name : args) {
    chosen.push_back(find_suite(suites, name));
    if (chosen.back() == nullptr) {
      std::fprintf(stderr, "core_tests: no suite named %.*s (see --list)\n", int(name.size()), name.data());
      return 2;
    }
  }
  if (args.empty()) {
    for (const TestSuite& suite : suites) chosen.push_back(&suite);
  }
  for (const TestSuite* suite : chosen) suite->run();
  if (failed_checks != 0) {
    std::fprintf(stderr, "%d check(s) failed\n", failed_checks);
    return 1;
  }
  std::printf("%zu suite(s) passed\n", chosen.size());
  return 0;
}
