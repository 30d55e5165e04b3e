#include "binding/cuts.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/entry_point.hpp"

namespace velnora::py {

namespace {

constexpr const char* bound_parameters[] = {"start", "end"};
constexpr Signature seconds_signature{"seconds", bound_parameters, 0};
constexpr Signature blocks_signature{"blocks", bound_parameters, 0};

const char* type_name(const CutConfig::Blocks&) { return "blocks"; }
const char* type_name(const CutConfig::Seconds&) { return "seconds"; }

// The one check of a cut's bounds on this side: a cut that breaks a rule is
// refused with ValueError as soon as it is made or read, before the file or a
// later argument is looked at.
template <class Bounds>
PyResult<CutConfig> checked_cut(const Bounds& bounds) {
  CutConfig cut{bounds};
  if (auto valid = to_py_result(cut.validate(), PyExc_ValueError); !valid) return propagate(valid);
  return cut;
}

// The dictionary {"type", "start", "end"}, in that key order, of a valid cut.
// It holds the converted values, so seconds(1) gives 1.0 and blocks(True) gives 1.
template <class Bounds>
PyResult<Ref> validated_cut_dict(const Bounds& bounds) {
  if (auto cut = checked_cut(bounds); !cut) return propagate(cut);
  return DictBuilder()
      .set("type", type_name(bounds))
      .set("start", bounds.start)
      .set("end", bounds.end)
      .finish();
}

template <class Bounds, auto convert>
PyResult<Ref> cut_from_bounds(Slots<2> slots) {
  auto start = convert(slots[0], "start");
  if (!start) return propagate(start);
  auto end = convert(slots[1], "end");
  if (!end) return propagate(end);
  return validated_cut_dict(Bounds{*start, *end});
}

[[gnu::cold]] std::unexpected<Failure> reject_cut(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return raised();
}

// PyDict_GetItemRef (3.13) for older interpreters: 1 and a new reference when
// found, 0 when missing, -1 with an exception set.
int dict_get_item_ref(PyObject* dict, PyObject* key, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyDict_GetItemRef(dict, key, result);
#else
  PyObject* item = PyDict_GetItemWithError(dict, key);
  if (item == nullptr) {
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
  }
  Py_INCREF(item);
  *result = item;
  return 1;
#endif
}

// The value under `key` (an empty Ref when missing). The dict's own storage is
// read, so a subclass's __getitem__ is never called.
PyResult<Ref> lookup(PyObject* dict, const char* key) {
  Ref name = Ref::steal(PyUnicode_FromString(key));
  if (!name) return raised();
  PyObject* item = nullptr;
  if (dict_get_item_ref(dict, name.get(), &item) < 0) return raised();
  return Ref::steal(item);
}

// A missing key and None are both an absent bound. Conversion errors pass
// unchanged: a dictionary entry is not an argument, so no name is put in front.
template <class T, PyResult<T> (*convert)(PyObject*)>
PyResult<std::optional<T>> optional_entry(PyObject* dict, const char* key) {
  auto item = lookup(dict, key);
  if (!item) return propagate(item);
  if (!*item || item->get() == Py_None) return std::optional<T>();
  return convert(item->get());
}

// "start" is read before "end", and "end" not at all when "start" failed.
template <class Bounds, class T, PyResult<T> (*convert)(PyObject*)>
PyResult<CutConfig> parse_bounds(PyObject* dict) {
  auto start = optional_entry<T, convert>(dict, "start");
  if (!start) return propagate(start);
  auto end = optional_entry<T, convert>(dict, "end");
  if (!end) return propagate(end);
  return checked_cut(Bounds{*start, *end});
}

}  // namespace

PyObject* seconds(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<seconds_signature, cut_from_bounds<CutConfig::Seconds, optional_f64_argument>>(
      args, nargsf, kwnames);
}

PyObject* blocks(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<blocks_signature, cut_from_bounds<CutConfig::Blocks, optional_u64_argument>>(args, nargsf,
                                                                                                kwnames);
}

PyResult<CutConfig> parse_cut_config(PyObject* cut) {
  if (cut == nullptr || cut == Py_None) return CutConfig{};
  // Any dict with the right keys is accepted, hand-built or not; extra keys are ignored.
  if (!PyDict_Check(cut)) return reject_cut("cut must be created by seconds() or blocks()");
  auto type = lookup(cut, "type");
  if (!type) return propagate(type);
  if (!*type) return reject_cut("cut is missing type");
  auto text = to_utf8(type->get());
  if (!text) return propagate(text);
  if (*text == "blocks") return parse_bounds<CutConfig::Blocks, std::uint64_t, to_u64>(cut);
  if (*text == "seconds") return parse_bounds<CutConfig::Seconds, double, to_f64>(cut);
  return reject_cut("cut type must be 'seconds' or 'blocks'");
}

}  // namespace velnora::py
