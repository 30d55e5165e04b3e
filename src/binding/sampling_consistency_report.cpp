#include "binding/arguments.hpp"
#include "binding/errors.hpp"
#include "binding/functions.hpp"
#include "binding/not_built.hpp"

namespace velnora::py {

namespace {
constexpr const char* parameters[] = {"file_path"};
constexpr Signature signature{"sampling_consistency_report", parameters, 1};
}  // namespace

VELNORA_ENTRY(sampling_consistency_report) {
  (void)module;
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind_arguments(signature, args, nargsf, kwnames, slots)) return nullptr;
    auto path = str_argument(slots[0], "file_path");
    if (!path) return nullptr;
    return raise_not_built("sampling_consistency_report");
  });
}

}  // namespace velnora::py
