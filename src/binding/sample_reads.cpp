#include "binding/sample_reads.hpp"

#include "binding/arguments.hpp"
#include "binding/numpy_arrays.hpp"
#include "binding/read_request.hpp"
#include "core/ops/planned_samples.hpp"

namespace velnora::py {

PyResult<Ref> read_samples(ReadSlots slots, DamagedBlocks* damaged) {
  auto arguments = read_arguments(slots);
  if (!arguments) return propagate(arguments);
  // Before the columns take memory, so that NumPy's start-up never meets a limit at peak.
  if (auto ready = ensure_numpy(); !ready) return propagate(ready);
  const ReadRequest& request = arguments->request;
  auto data = to_py_result(
      read_cut_samples(arguments->path, request.cut, request.include, request.resample_hz, damaged),
      PyExc_RuntimeError);
  if (!data) return propagate(data);
  return result_to_dict(std::move(*data));
}

PyResult<void> export_samples(ExportSlots slots, DamagedBlocks* damaged) {
  auto arguments = export_arguments(slots);
  if (!arguments) return propagate(arguments);
  return write_export(*arguments, damaged);
}

PyResult<void> write_export(const ExportArguments& arguments, DamagedBlocks* damaged) {
  const ReadRequest& request = arguments.request;
  return to_py_result(write_cut_csv(arguments.path, arguments.output, request.cut, request.include,
                                    request.resample_hz, damaged),
                      PyExc_RuntimeError);
}

namespace {

constexpr Signature read_signature{"read_cwa_file", read_parameters, 1};
constexpr Signature csv_signature{"write_cwa_csv", csv_parameters, 2};

// A plain read or export fails at the first malformed block.
PyResult<Ref> plain_read(ReadSlots slots) { return read_samples(slots, nullptr); }

PyResult<Ref> plain_export(ExportSlots slots) {
  if (auto written = export_samples(slots, nullptr); !written) return propagate(written);
  return Ref::borrow(Py_None);
}

}  // namespace

PyObject* read_cwa_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<read_signature, plain_read>(args, nargsf, kwnames);
}

PyObject* write_cwa_csv(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<csv_signature, plain_export>(args, nargsf, kwnames);
}

PyResult<Ref> damaged_list(const DamagedBlocks& damaged) {
  auto list = owned(PyList_New(static_cast<Py_ssize_t>(damaged.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    auto block = to_python(damaged[i].block);
    if (!block) return block;
    auto message = to_python(damaged[i].message);
    if (!message) return message;
    PyObject* outside = damaged[i].outside_range ? Py_True : Py_False;
    auto samples = to_python(damaged[i].sample_count);
    if (!samples) return samples;
    auto reason = owned(PyUnicode_FromString(left_out_text(damaged[i].reason)));
    if (!reason) return reason;
    auto item = owned(PyTuple_Pack(5, block->get(), message->get(), outside, samples->get(), reason->get()));
    if (!item) return item;
    PyList_SET_ITEM(list->get(), static_cast<Py_ssize_t>(i), item->release());
  }
  return list;
}

}  // namespace velnora::py
