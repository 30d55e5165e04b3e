#include "binding/numpy_arrays.hpp"

#include <numpy/arrayobject.h>

#include <cstddef>
#include <new>
#include <utility>

#include "binding/py_ref.hpp"

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

// Made with NumPy, on the first array of the process, and kept for its lifetime.
PyTypeObject* owner_type = nullptr;
bool numpy_ready = false;

// import_array() without its hidden return statement. A failed import leaves
// its exception set and is tried again by the next call.
bool ensure_numpy() {
  if (numpy_ready) return true;
  if (_import_array() < 0) {
    // A failed version check can leave the table set; it must not be used.
    PyArray_API = nullptr;
    return false;
  }
  if (owner_type == nullptr) {
    owner_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&owner_spec));
    if (owner_type == nullptr) return false;
  }
  numpy_ready = true;
  return true;
}

// Takes over the mapping; on failure it stays with `memory` and is freed there.
Ref new_owner(MappedBuffer& memory) {
  Ref owner = Ref::steal(PyType_GenericAlloc(owner_type, 0));
  if (owner) new (&reinterpret_cast<ColumnOwner*>(owner.get())->memory) MappedBuffer(std::move(memory));
  return owner;
}

PyObject* buffer_to_array(ColumnBuffer buffer, int type_number) {
  if (!ensure_numpy()) return nullptr;
  npy_intp length = static_cast<npy_intp>(buffer.length);
  // An empty column has no mapping for an array to sit on.
  if (length == 0) return PyArray_SimpleNew(1, &length, type_number);
  void* data = buffer.memory.data();
  Ref owner = new_owner(buffer.memory);
  if (!owner) return nullptr;
  Ref array = Ref::steal(PyArray_SimpleNewFromData(1, &length, type_number, data));
  if (!array) return nullptr;
  // Takes the owner's reference even when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0)
    return nullptr;
  return array.release();
}

}  // namespace

PyObject* column_to_array(Column<std::int64_t> column) {
  return buffer_to_array(std::move(column).release(), NPY_INT64);
}

PyObject* column_to_array(Column<float> column) {
  return buffer_to_array(std::move(column).release(), NPY_FLOAT32);
}

PyObject* result_to_dict(CwaDataResult&& result) {
  CwaDataResult columns = std::move(result);
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  const bool complete = columns.for_each_column([&](std::string_view name, auto& column) {
    Ref key = Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!key) return false;
    Ref array = Ref::steal(column_to_array(std::move(column)));
    return array && PyDict_SetItem(dict.get(), key.get(), array.get()) == 0;
  });
  if (!complete) return nullptr;
  return dict.release();
}

}  // namespace velnora::py
