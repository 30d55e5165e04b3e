#pragma once

#include <Python.h>

#include "binding/arguments.hpp"
#include "core/read/read_plan.hpp"

namespace velnora::py {

// The cut dictionary {"type", "start", "end"} of a blocks or seconds cut (new
// reference), or NULL with an exception set.
PyObject* new_cut_dict(const CutConfig::Blocks& cut);
PyObject* new_cut_dict(const CutConfig::Seconds& cut);

// The validated cut behind a `cut` argument; NULL or None is no cut. Raises
// ValueError for a dictionary that is not a cut, and the conversion's own
// exception for a value of the wrong type.
PyResult<CutConfig> parse_cut_config(PyObject* cut);

}  // namespace velnora::py
