#pragma once

#include <Python.h>

#include "binding/py_objects.hpp"
#include "core/read/read_plan.hpp"

namespace velnora::py {

// The validated cut behind a `cut` argument; NULL or None is no cut. Raises
// ValueError for a dictionary that is not a cut, and the conversion's own
// exception for a value of the wrong type.
PyResult<CutConfig> parse_cut_config(PyObject* cut);

}  // namespace velnora::py
