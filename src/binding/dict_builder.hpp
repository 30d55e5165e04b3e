#pragma once

#include <Python.h>

#include <utility>

#include "binding/py_ref.hpp"
#include "binding/py_value.hpp"

namespace velnora::py {

// Builds a dict entry by entry, in insertion order, from anything to_python
// accepts. The first failure releases the partly filled dict and turns every
// later set() into a no-op, so a chain of set() calls needs one check at the end.
class DictBuilder {
 public:
  DictBuilder() : dict_(Ref::steal(PyDict_New())) {}

  template <class Value>
  DictBuilder& set(const char* key, Value&& value) {
    if (dict_) insert(key, to_python(std::forward<Value>(value)));
    return *this;
  }

  // The dict (a new reference), or NULL with the exception of the first failure set.
  PyObject* finish() { return dict_.release(); }

 private:
  void insert(const char* key, Ref value) {
    if (!value || PyDict_SetItemString(dict_.get(), key, value.get()) < 0) dict_ = Ref();
  }

  Ref dict_;
};

}  // namespace velnora::py
