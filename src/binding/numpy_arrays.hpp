#pragma once

#include <Python.h>

#include <cstdint>

#include "core/columns/column.hpp"
#include "core/columns/data_result.hpp"

namespace velnora::py {

// A one-dimensional, C-contiguous, writeable int64 or float32 array that takes
// over the column's buffer without copying. Its base is a small owner object
// that unmaps the buffer once, when the last array over it goes away. Imports
// NumPy on the first call of the process. New reference, or NULL with an
// exception set; the buffer is freed on every path.
PyObject* column_to_array(Column<std::int64_t> column);
PyObject* column_to_array(Column<float> column);

// The samples as a dict of arrays keyed by column name, in the columns' order
// ("timestamp", "acc_x" ... "gyro_z", then the present optional ones). Each
// column becomes its array just before its insertion; on failure the dict and
// every column not yet converted are freed. New reference, or NULL with an
// exception set.
PyObject* result_to_dict(CwaDataResult&& result);

}  // namespace velnora::py
