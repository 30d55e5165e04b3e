#include "binding/numpy_arrays.hpp"

#include <numpy/arrayobject.h>

#include <cstddef>
#include <new>
#include <utility>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace velnora::py {

namespace {

// The base object of every column array: it owns the mapping, and its
// deallocation, which the interpreter runs once when the last array (or view)
// over the buffer is gone, unmaps it. Weak references let a test watch that.
struct ColumnOwner {
  PyObject_HEAD MappedBuffer memory;
  PyObject* weak_references;
};

void owner_dealloc(PyObject* self) {
  auto* owner = reinterpret_cast<ColumnOwner*>(self);
  PyTypeObject* type = Py_TYPE(self);
  if (owner->weak_references != nullptr) PyObject_ClearWeakRefs(self);
  owner->memory.~MappedBuffer();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef owner_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(ColumnOwner, weak_references), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot owner_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc)},
    {Py_tp_members, owner_members},
    {Py_tp_doc, const_cast<char*>("Memory of a velnora column array.")},
    {0, nullptr},
};

PyType_Spec owner_spec = {
    "velnora.ColumnBuffer",
    sizeof(ColumnOwner),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    owner_slots,
};

// Made once NumPy is imported, and kept for the process's lifetime.
PyTypeObject* owner_type = nullptr;
bool numpy_ready = false;

}  // namespace

// import_array() without its hidden return statement. A failed import leaves
// its exception set and is tried again by the next call.
PyResult<void> ensure_numpy() {
  if (numpy_ready) return {};
  if (_import_array() < 0) {
    // A failed version check can leave the table set; it must not be used.
    PyArray_API = nullptr;
    return raised();
  }
  if (owner_type == nullptr) {
    owner_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&owner_spec));
    if (owner_type == nullptr) return raised();
  }
  numpy_ready = true;
  return {};
}

namespace {

// Takes over the mapping; on failure it stays with `memory` and is freed there.
PyResult<Ref> new_owner(MappedBuffer& memory) {
  auto owner = owned(PyType_GenericAlloc(owner_type, 0));
  if (owner) new (&reinterpret_cast<ColumnOwner*>(owner->get())->memory) MappedBuffer(std::move(memory));
  return owner;
}

// The array sits on the column's mapping as it is, neither copied nor read:
// pages the column never wrote (its zeros) stay unbacked until NumPy reads
// them, and then map the kernel's shared zero page.
PyResult<Ref> array_over(ColumnBuffer buffer, int type_number) {
  if (auto ready = ensure_numpy(); !ready) return propagate(ready);
  npy_intp length = static_cast<npy_intp>(buffer.length);
  // An empty column has no mapping for an array to sit on.
  if (length == 0) return owned(PyArray_SimpleNew(1, &length, type_number));
  void* data = buffer.memory.data();
  auto owner = new_owner(buffer.memory);
  if (!owner) return propagate(owner);
  auto array = owned(PyArray_SimpleNewFromData(1, &length, type_number, data));
  if (!array) return propagate(array);
  // Takes the owner's reference even when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array->get()), owner->release()) < 0)
    return raised();
  return array;
}

PyResult<Ref> column_to_array(Column<float> column) {
  return array_over(std::move(column).release(), NPY_FLOAT32);
}

}  // namespace

PyResult<Ref> column_to_array(Column<std::int64_t> column) {
  return array_over(std::move(column).release(), NPY_INT64);
}

PyResult<Ref> result_to_dict(CwaDataResult&& result) {
  CwaDataResult columns = std::move(result);
  auto dict = owned(PyDict_New());
  if (!dict) return propagate(dict);
  const bool complete = columns.for_each_column([&](std::string_view name, auto& column) {
    auto key = to_python(name);
    if (!key) return false;
    auto array = column_to_array(std::move(column));
    return array && PyDict_SetItem(dict->get(), key->get(), array->get()) == 0;
  });
  if (!complete) return raised();
  return dict;
}

}  // namespace velnora::py
