#include "binding/arguments.hpp"
#include "binding/cut_dict.hpp"
#include "binding/errors.hpp"
#include "binding/functions.hpp"

namespace velnora::py {

namespace {
constexpr const char* parameters[] = {"start", "end"};
constexpr Signature seconds_signature{"seconds", parameters, 0};
constexpr Signature blocks_signature{"blocks", parameters, 0};

// The dictionary holds the converted values, so seconds(1) gives 1.0 and
// blocks(True) gives 1.
template <class Bounds>
PyObject* validated_cut_dict(const Bounds& bounds) {
  if (auto valid = CutConfig{bounds}.validate(); !valid)
    return raise_cwa_error(valid.error(), PyExc_ValueError);
  return new_cut_dict(bounds);
}
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
    return validated_cut_dict(CutConfig::Seconds{*start, *end});
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
    return validated_cut_dict(CutConfig::Blocks{*start, *end});
  });
}

}  // namespace velnora::py
