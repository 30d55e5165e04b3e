#pragma once

#include <Python.h>

#include <array>
#include <span>

#include "binding/arguments.hpp"
#include "binding/py_objects.hpp"
#include "core/base/interruption.hpp"

namespace velnora::py {

// The interpreter calls each module function with the vectorcall-with-keywords
// convention.
using EntryPoint = PyObject*(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) noexcept;

// The six module functions, in the order they are added to the module.
EntryPoint read_header;
EntryPoint sampling_consistency_report;
EntryPoint seconds;
EntryPoint blocks;
EntryPoint read_cwa_file;
EntryPoint write_cwa_csv;

// The bound arguments of a function with N parameters, one borrowed slot each
// (NULL when not given).
template <std::size_t N>
using Slots = std::span<PyObject* const, N>;

// The core's interruption hook: runs pending signal handlers (on the main
// thread), so Ctrl-C stops long work; true when one raised.
bool signal_handler_raised();

// The core's wait hooks: the interpreter is let go while the core waits on
// the outside world (a FIFO's reader, perhaps a thread of this process) and
// taken back before the core asks signal_handler_raised again.
inline constexpr OutsideWaitHooks interpreter_released_while_waiting{
    [] { return static_cast<void*>(PyEval_SaveThread()); },
    [](void* state) { PyEval_RestoreThread(static_cast<PyThreadState*>(state)); }};

// Sets the interpreter's exception for a failure (a Raised one has it set already).
void raise_failure(const Failure& failure);

// Where a module sets it (velnora_tools._native does), the RuntimeError
// subclass raised for an error that says the file is no recording at all, so
// that Python code tells that case from others without reading the message.
// Unset, such an error is the RuntimeError it always was.
extern PyObject* not_a_recording_type;
// Likewise the RuntimeError subclass raised for the refusal of a malformed
// data block, its position and text as the attributes `block` and `message`.
extern PyObject* damaged_block_type;

// Inside a catch block: the C++ exception in flight as MemoryError or, being a
// broken invariant, as RuntimeError, never as a terminated process.
void raise_current_exception() noexcept;

// Binds the arguments to `signature` and hands their slots to `body`, which
// converts them, calls the core and builds the result.
template <const Signature& signature, auto body>
PyResult<Ref> bind_and_run(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  constexpr std::size_t count = signature.parameters.size();
  std::array<PyObject*, count> slots;
  if (auto bound = bind_arguments(signature, args, nargsf, kwnames, slots); !bound) return propagate(bound);
  return body(Slots<count>(slots));
}

// What every module function does: bind_and_run, then the one place where a
// failure becomes the interpreter's exception. No C++ exception gets past it.
template <const Signature& signature, auto body>
PyObject* run_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  try {
    InterruptionScope interruptible(signal_handler_raised, interpreter_released_while_waiting);
    PyResult<Ref> result = bind_and_run<signature, body>(args, nargsf, kwnames);
    if (result) return result->release();
    raise_failure(result.error());
  } catch (...) {
    raise_current_exception();
  }
  return nullptr;
}

}  // namespace velnora::py
