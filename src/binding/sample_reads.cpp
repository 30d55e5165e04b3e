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
  auto arguments = read_arguments(slots);
  if (!arguments) return propagate(arguments);
  auto plan = read_plan(arguments->path, arguments->request);
  if (!plan) return propagate(plan);
  // Before the columns take memory, so that NumPy's start-up never meets a limit at peak.
  if (auto ready = ensure_numpy(); !ready) return propagate(ready);
  const ReadRequest& request = arguments->request;
  auto data = to_py_result(read_planned_samples(arguments->path, *plan, request.include, request.resample_hz),
                           PyExc_RuntimeError);
  if (!data) return propagate(data);
  return result_to_dict(std::move(*data));
}

PyResult<Ref> export_samples(Slots<9> slots) {
  auto arguments = export_arguments(slots);
  if (!arguments) return propagate(arguments);
  auto plan = read_plan(arguments->path, arguments->request);
  if (!plan) return propagate(plan);
  const ReadRequest& request = arguments->request;
  auto written = to_py_result(
      write_planned_csv(arguments->path, arguments->output, *plan, request.include, request.resample_hz),
      PyExc_RuntimeError);
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
