#include "binding/activity.hpp"

#include <cstring>
#include <optional>
#include <span>

#include "binding/arguments.hpp"
#include "binding/cuts.hpp"
#include "binding/sample_reads.hpp"
#include "core/ops/activity_passes.hpp"
#include "core/ops/planned_samples.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/read_plan.hpp"

namespace velnora::py {

namespace {

constexpr const char* calibrate_parameters[] = {"file_path", "cut", "skip_damaged"};
constexpr Signature calibrate_signature{"calibrate", calibrate_parameters, 1};

constexpr const char* epochs_parameters[] = {"file_path", "epoch_us",     "calibration", "cut",
                                             "nonwear",   "skip_damaged", "lowpass_hz",  "anglez_median"};
constexpr Signature epochs_signature{"epochs", epochs_parameters, 3};

// The arguments both functions share, converted and planned; with
// skip_damaged, the damage the plan's scan met outside the range, to which
// the pass adds the blocks it leaves out.
struct PlannedRead {
  std::string_view path;
  ReadPlan plan;
  bool skip_damaged;
  DamagedBlocks left_out;
};

PyResult<PlannedRead> plan_read(PyObject* path_slot, PyObject* cut_slot, PyObject* skip_slot) {
  auto path = str_argument(path_slot, "file_path");
  if (!path) return propagate(path);
  auto cut = parse_cut_config(cut_slot);
  if (!cut) return propagate(cut);
  auto skip_damaged = flag_argument(skip_slot, "skip_damaged", false);
  if (!skip_damaged) return propagate(skip_damaged);
  PlannedRead read{*path, {}, *skip_damaged, {}};
  auto plan =
      to_py_result(resolve_read_plan(*path, *cut, *skip_damaged ? &read.left_out : nullptr), PyExc_RuntimeError);
  if (!plan) return propagate(plan);
  read.plan = *plan;
  return read;
}

PyResult<Ref> axis_tuple(const AxisValues& values) {
  return owned(Py_BuildValue("(ddd)", values[0], values[1], values[2]));
}

// Sets dict[name] to a new object, or fails with the interpreter's exception.
PyResult<void> set_item(PyObject* dict, const char* name, PyResult<Ref> value) {
  if (!value) return propagate(value);
  if (PyDict_SetItemString(dict, name, value->get()) < 0) return raised();
  return {};
}

PyResult<Ref> calibration_dict(const CalibrationEstimate& estimate) {
  const GravityCalibration& calibration = estimate.calibration;
  auto dict = DictBuilder()
                  .set("reference_temperature", calibration.reference_temperature)
                  .set("error_before_mg", estimate.error_before_mg)
                  .set("error_after_mg", estimate.error_after_mg)
                  .set("still_windows", estimate.still_windows)
                  .set("clipped_windows", estimate.clipped_windows)
                  .set("calibrated", estimate.calibrated)
                  .set("reason", estimate.reason)
                  .set("temperature_fitted", estimate.temperature_fitted)
                  .set("temperature_reason", estimate.temperature_reason)
                  .finish();
  if (!dict) return dict;
  PyObject* out = dict->get();
  if (auto set = set_item(out, "offset", axis_tuple(calibration.offset)); !set) return propagate(set);
  if (auto set = set_item(out, "scale", axis_tuple(calibration.scale)); !set) return propagate(set);
  if (auto set = set_item(out, "temperature_slope", axis_tuple(calibration.temperature_slope)); !set)
    return propagate(set);
  return dict;
}

// (value, blocks left out).
PyResult<Ref> with_left_out(PyResult<Ref> value, const DamagedBlocks& left_out) {
  if (!value) return value;
  auto list = damaged_list(left_out);
  if (!list) return list;
  return owned(PyTuple_Pack(2, value->get(), list->get()));
}

PyResult<Ref> calibrate_recording(Slots<3> slots) {
  auto read = plan_read(slots[0], slots[1], slots[2]);
  if (!read) return propagate(read);
  auto estimate =
      to_py_result(estimate_gravity_calibration(read->path, read->plan, read->skip_damaged, read->left_out),
                   PyExc_RuntimeError);
  if (!estimate) return propagate(estimate);
  return with_left_out(calibration_dict(*estimate), read->left_out);
}

// A sequence of exactly N numbers, or `expected` as the error.
template <std::size_t N>
PyResult<std::array<double, N>> float_sequence(PyObject* slot, const char* expected) {
  auto items = owned(PySequence_Fast(slot, expected));
  if (!items) return propagate(items);
  if (PySequence_Fast_GET_SIZE(items->get()) != static_cast<Py_ssize_t>(N)) {
    PyErr_SetString(PyExc_ValueError, expected);
    return raised();
  }
  std::array<double, N> numbers;
  for (std::size_t i = 0; i < N; ++i) {
    auto number = to_f64(PySequence_Fast_GET_ITEM(items->get(), static_cast<Py_ssize_t>(i)));
    if (!number) return propagate(number);
    numbers[i] = *number;
  }
  return numbers;
}

// A calibration given as its ten numbers: offset, scale and temperature
// slope per axis, then the reference temperature.
PyResult<GravityCalibration> calibration_argument(PyObject* slot) {
  auto given = float_sequence<10>(slot, "argument 'calibration': expected a sequence of 10 floats");
  if (!given) return propagate(given);
  const std::array<double, 10>& numbers = *given;
  GravityCalibration calibration;
  for (std::size_t a = 0; a < 3; ++a) {
    calibration.offset[a] = numbers[a];
    calibration.scale[a] = numbers[3 + a];
    calibration.temperature_slope[a] = numbers[6 + a];
  }
  calibration.reference_temperature = numbers[9];
  return calibration;
}

// A non-wear rule given as its five numbers: centred windows (0 or 1), the
// still SD and range (g), the still axes, re-scoring (0 or 1); None, or left
// out, for none.
PyResult<std::optional<NonwearRule>> nonwear_argument(PyObject* slot) {
  if (slot == nullptr || slot == Py_None) return std::optional<NonwearRule>();
  auto numbers = float_sequence<5>(slot, "argument 'nonwear': expected None or a sequence of 5 numbers");
  if (!numbers) return propagate(numbers);
  const auto [centred, sd_g, range_g, axes, rescore] = *numbers;
  return std::optional<NonwearRule>(
      NonwearRule{centred != 0.0 ? NonwearRule::Windows::centred : NonwearRule::Windows::whole, sd_g, range_g,
                  static_cast<int>(axes), rescore != 0.0});
}

// A column of the rows' field as the bytes of its native-endian values.
template <class Field>
PyResult<Ref> column_bytes(std::span<const EpochRow> rows, Field EpochRow::* field) {
  auto bytes =
      owned(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows.size() * sizeof(Field))));
  if (!bytes) return bytes;
  char* out = PyBytes_AS_STRING(bytes->get());
  for (std::size_t i = 0; i < rows.size(); ++i)
    std::memcpy(out + i * sizeof(Field), &(rows[i].*field), sizeof(Field));
  return bytes;
}

PyResult<Ref> summary_dict(const EpochSummary& summary) {
  const std::span<const EpochRow> rows = summary.epochs.rows;
  auto dict = DictBuilder()
                  .set("first_start_us", summary.epochs.first_start_us)
                  .set("samples_fed", summary.fed.fed)
                  .set("samples_out_of_order", summary.fed.out_of_order)
                  .set("first_sample", summary.first_sample)
                  .set("last_sample", summary.last_sample)
                  .finish();
  if (!dict) return dict;
  PyObject* out = dict->get();
  // One at a time: no object is made while an exception is set.
  if (auto set = set_item(out, "enmo", column_bytes(rows, &EpochRow::enmo)); !set) return propagate(set);
  if (auto set = set_item(out, "mad", column_bytes(rows, &EpochRow::mad)); !set) return propagate(set);
  if (auto set = set_item(out, "anglez", column_bytes(rows, &EpochRow::anglez)); !set) return propagate(set);
  if (auto set = set_item(out, "samples", column_bytes(rows, &EpochRow::samples)); !set)
    return propagate(set);
  if (summary.anglez_median) {
    const std::vector<double>& angles = *summary.anglez_median;
    auto bytes = owned(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(angles.data()),
                                                 static_cast<Py_ssize_t>(angles.size() * sizeof(double))));
    if (auto set = set_item(out, "anglez_median", std::move(bytes)); !set) return propagate(set);
  }
  if (!summary.nonwear) return dict;
  const std::vector<std::uint8_t>& flags = summary.nonwear->nonwear;
  if (auto set = set_item(out, "nonwear_first_start_us", to_python(summary.nonwear->first_start_us)); !set)
    return propagate(set);
  auto bytes = owned(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(flags.data()),
                                               static_cast<Py_ssize_t>(flags.size())));
  if (auto set = set_item(out, "nonwear", std::move(bytes)); !set) return propagate(set);
  return dict;
}

PyResult<Ref> epochs_of_recording(Slots<8> slots) {
  auto read = plan_read(slots[0], slots[3], slots[5]);
  if (!read) return propagate(read);
  auto epoch_us = to_u64(slots[1]);
  if (!epoch_us) return propagate(epoch_us);
  // Bounded so that an epoch's end stays far inside int64 microseconds.
  if (*epoch_us == 0 || *epoch_us > (std::uint64_t{1} << 62)) {
    PyErr_SetString(PyExc_ValueError, "argument 'epoch_us': must be positive and at most 2**62");
    return raised();
  }
  auto calibration = calibration_argument(slots[2]);
  if (!calibration) return propagate(calibration);
  auto nonwear = nonwear_argument(slots[4]);
  if (!nonwear) return propagate(nonwear);
  auto lowpass_hz = optional_f64_argument(slots[6], "lowpass_hz");
  if (!lowpass_hz) return propagate(lowpass_hz);
  auto anglez_median = flag_argument(slots[7], "anglez_median", false);
  if (!anglez_median) return propagate(anglez_median);
  auto summary = to_py_result(
      summarise_epochs(read->path, read->plan, static_cast<std::int64_t>(*epoch_us), *calibration, *nonwear,
                       *lowpass_hz, *anglez_median, read->skip_damaged, read->left_out),
      PyExc_RuntimeError);
  if (!summary) return propagate(summary);
  return with_left_out(summary_dict(*summary), read->left_out);
}

}  // namespace

PyObject* calibrate(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<calibrate_signature, calibrate_recording>(args, nargsf, kwnames);
}

PyObject* epochs(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<epochs_signature, epochs_of_recording>(args, nargsf, kwnames);
}

const char calibrate_doc[] =
    "calibrate(file_path, cut=None, skip_damaged=False)\n--\n\n"
    "The gravity calibration of a recording: (calibration dict, [(block, message, outside_range, "
    "sample_count, reason), ...] of the blocks left out).";

const char epochs_doc[] =
    "epochs(file_path, epoch_us, calibration, cut=None, nonwear=None, skip_damaged=False, "
    "lowpass_hz=None, anglez_median=False)\n--\n\n"
    "Epoch metrics on values calibrated by the ten numbers of `calibration`, and the 15-minute non-wear "
    "verdicts under the five numbers of `nonwear` (centred windows, still SD and range in g, still axes, "
    "re-scoring), on axes low-passed at `lowpass_hz` first when given, with the z angle of the axes' rolling "
    "medians over 5 s when `anglez_median`: (summary dict, [(block, message, "
    "outside_range, sample_count, reason), ...] of the blocks "
    "left "
    "out).";

}  // namespace velnora::py
