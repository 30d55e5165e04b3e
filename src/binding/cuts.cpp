#include "binding/arguments.hpp"
#include "binding/errors.hpp"
#include "binding/functions.hpp"
#include "binding/not_built.hpp"

namespace velnora::py {

namespace {
constexpr const char* parameters[] = {"start", "end"};
constexpr Signature seconds_signature{"seconds", parameters, 0};
constexpr Signature blocks_signature{"blocks", parameters, 0};
}  // namespace

VELNORA_ENTRY(seconds) {
  (void)module;
  return guarded([&]() -> PyObject* {
    PyObject* slots[2];
    if (!bind_arguments(seconds_signature, args, nargsf, kwnames, slots)) return nullptr;
    auto start = optional_f64_argument(slots[0], "start");
    if (!start) return nullptr;
    auto end = optional_f64_argument(slots[1], "end");
    if (!end) return nullptr;
    return raise_not_built("seconds");
  });
}

VELNORA_ENTRY(blocks) {
  (void)module;
  return guarded([&]() -> PyObject* {
    PyObject* slots[2];
    if (!bind_arguments(blocks_signature, args, nargsf, kwnames, slots)) return nullptr;
    auto start = optional_u64_argument(slots[0], "start");
    if (!start) return nullptr;
    auto end = optional_u64_argument(slots[1], "end");
    if (!end) return nullptr;
    return raise_not_built("blocks");
  });
}

}  // namespace velnora::py
