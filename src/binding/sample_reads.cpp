#include <optional>
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/entry_point.hpp"
#include "binding/numpy_arrays.hpp"
#include "binding/read_request.hpp"
#include "core/format/channels.hpp"
#include "core/ops/planned_samples.hpp"
#include "core/read/read_plan.hpp"

namespace velnora::py {

namespace {

constexpr Signature read_signature{"read_cwa_file", read_parameters, 1};
constexpr Signature csv_signature{"write_cwa_csv", csv_parameters, 2};

PyResult<ReadPlan> read_plan(std::string_view path, const ReadRequest& request) {
  return to_py_result(resolve_read_plan(path, request.cut), PyExc_RuntimeError);
}

PyResult<Ref> read_samples(Slots<8> slots) {
  auto path = str_argument(slots[0], "file_path");
  if (!path) return propagate(path);
  auto request = read_request(slots.subspan<1>(), IncludeFlags{});
  if (!request) return propagate(request);
  auto plan = read_plan(*path, *request);
  if (!plan) return propagate(plan);
  // Before the columns take memory, so that NumPy's start-up never meets a limit at peak.
  if (auto ready = ensure_numpy(); !ready) return propagate(ready);
  auto data = to_py_result(read_planned_samples(*path, *plan, request->include, request->resample_hz),
                           PyExc_RuntimeError);
  if (!data) return propagate(data);
  return result_to_dict(std::move(*data));
}

PyResult<Ref> export_samples(Slots<9> slots) {
  auto path = str_argument(slots[0], "file_path");
  if (!path) return propagate(path);
  auto output = str_argument(slots[1], "output_path");
  if (!output) return propagate(output);
  auto request = read_request(slots.subspan<2>(), csv_defaults);
  if (!request) return propagate(request);
  auto plan = read_plan(*path, *request);
  if (!plan) return propagate(plan);
  auto written = to_py_result(
      write_planned_csv(*path, *output, *plan, request->include, request->resample_hz), PyExc_RuntimeError);
  if (!written) return propagate(written);
  return Ref::borrow(Py_None);
}

}  // namespace

PyObject* read_cwa_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<read_signature, read_samples>(args, nargsf, kwnames);
}

PyObject* write_cwa_csv(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<csv_signature, export_samples>(args, nargsf, kwnames);
}

}  // namespace velnora::py
