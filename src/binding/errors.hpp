#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "core/base/cwa_error.hpp"

namespace velnora::py {

// Raises `exception_type` with the error's text form; returns NULL for the caller.
PyObject* raise_cwa_error(const CwaError& error, PyObject* exception_type);

// An internal fault (a broken invariant or a C++ exception) as a RuntimeError,
// never as a terminated process.
PyObject* raise_internal_fault(const char* what);

// Runs an entry point body so that no C++ exception crosses into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    return raise_internal_fault(error.what());
  } catch (...) {
    return raise_internal_fault("unknown C++ exception");
  }
}

}  // namespace velnora::py
