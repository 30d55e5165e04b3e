#pragma once

#include <Python.h>

#include "binding/py_objects.hpp"
#include "core/columns/column.hpp"
#include "core/columns/data_result.hpp"

namespace velnora::py {

// The samples as a dict of arrays keyed by column name, in the columns' order
// ("timestamp", "acc_x" ... "gyro_z", then the present optional ones). Each
// column becomes its array just before its insertion; on failure the dict and
// every column not yet converted are freed.
//
// Each array is one-dimensional, C-contiguous and writeable (int64 timestamps,
// float32 channels) and takes over its column's buffer without copying. Its
// base is a small owner object that unmaps the buffer once, when the last array
// over it goes away. NumPy is imported on the first call of the process.
PyResult<Ref> result_to_dict(CwaDataResult&& result);

// A timestamp column as one such array (int64), on its own owner.
PyResult<Ref> column_to_array(Column<std::int64_t> column);

// Imports NumPy unless it already was. A call that will build arrays does this
// before any large allocation: under a memory limit, an import at peak memory
// can end the process from inside NumPy's own start-up.
PyResult<void> ensure_numpy();

}  // namespace velnora::py
