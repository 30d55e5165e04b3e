#include "binding/module_init.hpp"

#include "binding/py_objects.hpp"

namespace velnora::py {

namespace {

constexpr std::int64_t no_interpreter = -1;

[[gnu::cold]] std::unexpected<Failure> raise_name_not_str() {
  PyErr_SetString(PyExc_TypeError, "function __name__ is not a str");
  return raised();
}

// The module's __all__, made on first use.
PyResult<Ref> all_list(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (all) return all;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raised();
  PyErr_Clear();
  auto made = owned(PyList_New(0));
  if (made && PyObject_SetAttrString(module, "__all__", made->get()) < 0) return raised();
  return made;
}

// Sets the module attribute named after the function's __name__ and, with
// `lists_all`, appends that name to __all__.
PyResult<void> add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition,
                            bool lists_all) {
  auto function = owned(PyCFunction_NewEx(definition, module, module_name));
  if (!function) return propagate(function);
  auto name = owned(PyObject_GetAttrString(function->get(), "__name__"));
  if (!name) return propagate(name);
  if (!PyUnicode_Check(name->get())) return raise_name_not_str();
  if (lists_all) {
    auto all = all_list(module);
    if (!all) return propagate(all);
    if (PyList_Append(all->get(), name->get()) < 0) return raised();
  }
  if (PyObject_SetAttr(module, name->get(), function->get()) < 0) return raised();
  return {};
}

}  // namespace

ExtensionModule::ExtensionModule(const char* name, const char* doc, std::span<PyMethodDef> functions,
                                 bool lists_all, AddObjects add_objects)
    : definition_{PyModuleDef_HEAD_INIT, name, doc,
                  // Not -1: with no per-module state the import system calls
                  // the init again on a repeated import instead of copying a
                  // cached module dict, so the interpreter check sees every
                  // interpreter.
                  0, nullptr, nullptr, nullptr, nullptr, nullptr},
      functions_(functions),
      lists_all_(lists_all),
      add_objects_(add_objects),
      owning_interpreter_(no_interpreter) {}

PyObject* ExtensionModule::init() {
  std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  std::int64_t expected = no_interpreter;
  // The first caller ever claims the module, whether or not its init succeeds.
  if (!owning_interpreter_.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
    PyErr_Format(PyExc_ImportError, "%s does not support subinterpreters", definition_.m_name);
    return nullptr;
  }
  if (stored_module_ == nullptr) stored_module_ = create();
  return Py_XNewRef(stored_module_);
}

PyObject* ExtensionModule::create() {
  auto module = owned(PyModule_Create(&definition_));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module->get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
  auto module_name = owned(PyUnicode_FromString(definition_.m_name));
  if (!module_name) return nullptr;
  for (PyMethodDef& definition : functions_) {
    if (!add_function(module->get(), module_name->get(), &definition, lists_all_)) return nullptr;
  }
  if (add_objects_ != nullptr && !add_objects_(module->get())) return nullptr;
  return module->release();
}

}  // namespace velnora::py
