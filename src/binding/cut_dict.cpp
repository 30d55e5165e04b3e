#include "binding/cut_dict.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

#include "binding/compat.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"

namespace velnora::py {

namespace {

Ref bound_object(std::optional<double> value) {
  return value ? Ref::steal(PyFloat_FromDouble(*value)) : Ref::borrow(Py_None);
}

Ref bound_object(std::optional<std::uint64_t> value) {
  return value ? Ref::steal(PyLong_FromUnsignedLongLong(*value)) : Ref::borrow(Py_None);
}

template <class Bounds>
PyObject* fill_cut_dict(const char* type, const Bounds& cut) {
  Ref type_text = Ref::steal(PyUnicode_FromString(type));
  if (!type_text) return nullptr;
  Ref start = bound_object(cut.start);
  if (!start) return nullptr;
  Ref end = bound_object(cut.end);
  if (!end) return nullptr;
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  // Insertion order is the order the keys show in.
  if (PyDict_SetItemString(dict.get(), "type", type_text.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "start", start.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "end", end.get()) < 0) {
    return nullptr;
  }
  return dict.release();
}

[[gnu::cold]] std::unexpected<Raised> reject_cut(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return raised();
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
template <class T, PyResult<T> (*Convert)(PyObject*)>
PyResult<std::optional<T>> get_optional(PyObject* dict, const char* key) {
  auto item = lookup(dict, key);
  if (!item) return raised();
  if (!*item || item->get() == Py_None) return std::optional<T>();
  auto value = Convert(item->get());
  if (!value) return raised();
  return std::optional<T>(*value);
}

PyResult<std::optional<std::uint64_t>> get_optional_usize(PyObject* dict, const char* key) {
  return get_optional<std::uint64_t, to_u64>(dict, key);
}

PyResult<std::optional<double>> get_optional_f64(PyObject* dict, const char* key) {
  return get_optional<double, to_f64>(dict, key);
}

// "start" is read before "end", and "end" not at all when "start" failed.
template <class Bounds, class Getter>
PyResult<CutConfig> parse_bounds(PyObject* dict, Getter get) {
  auto start = get(dict, "start");
  if (!start) return raised();
  auto end = get(dict, "end");
  if (!end) return raised();
  CutConfig config{Bounds{*start, *end}};
  if (auto valid = config.validate(); !valid) {
    raise_cwa_error(valid.error(), PyExc_ValueError);
    return raised();
  }
  return config;
}

}  // namespace

PyObject* new_cut_dict(const CutConfig::Blocks& cut) { return fill_cut_dict("blocks", cut); }

PyObject* new_cut_dict(const CutConfig::Seconds& cut) { return fill_cut_dict("seconds", cut); }

PyResult<CutConfig> parse_cut_config(PyObject* cut) {
  if (cut == nullptr || cut == Py_None) return CutConfig{};
  // Any dict with the right keys is accepted, hand-built or not; extra keys are ignored.
  if (!PyDict_Check(cut)) return reject_cut("cut must be created by seconds() or blocks()");
  auto type = lookup(cut, "type");
  if (!type) return raised();
  if (!*type) return reject_cut("cut is missing type");
  auto text = to_utf8(type->get());
  if (!text) return raised();
  if (*text == "blocks") return parse_bounds<CutConfig::Blocks>(cut, get_optional_usize);
  if (*text == "seconds") return parse_bounds<CutConfig::Seconds>(cut, get_optional_f64);
  return reject_cut("cut type must be 'seconds' or 'blocks'");
}

}  // namespace velnora::py
