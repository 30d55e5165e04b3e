#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>

#include "binding/entry_point.hpp"

namespace velnora::py {

// A module function's table entry; its arguments come by vectorcall with
// keywords, and such functions are stored as PyCFunction.
inline PyMethodDef fastcall_function(const char* name, EntryPoint& entry, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// One extension module's single-phase init, the same for both modules: the
// module is made once, its functions added with the module's name, and the
// first interpreter that imports it is the only one it serves (the column
// arrays' owner type and NumPy's function table are per process).
class ExtensionModule {
 public:
  // What a module adds besides its functions, such as its exception types.
  using AddObjects = PyResult<void> (*)(PyObject* module);

  // `functions` must outlive every function object made from them; with
  // `lists_all`, each function's name is appended to the module's __all__.
  ExtensionModule(const char* name, const char* doc, std::span<PyMethodDef> functions, bool lists_all,
                  AddObjects add_objects = nullptr);

  // The body of the module's PyInit_ function: the stored module on a repeated
  // init in the owning interpreter, ImportError "<name> does not support
  // subinterpreters" in any other.
  PyObject* init();

 private:
  PyObject* create();

  PyModuleDef definition_;
  std::span<PyMethodDef> functions_;
  bool lists_all_;
  AddObjects add_objects_;
  std::atomic<std::int64_t> owning_interpreter_;
  PyObject* stored_module_ = nullptr;
};

}  // namespace velnora::py
