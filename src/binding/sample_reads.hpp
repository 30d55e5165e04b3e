#pragma once

#include <Python.h>

#include "binding/entry_point.hpp"
#include "binding/py_objects.hpp"
#include "binding/read_request.hpp"
#include "core/read/damaged_blocks.hpp"

namespace velnora::py {

// The bodies of a read (read_parameters) and a CSV export (csv_parameters),
// for both modules: the arguments converted, then the read or export; with
// `damaged`, past damage, which is listed there. The read's value is the
// dict of arrays; the export has none.
PyResult<Ref> read_samples(ReadSlots slots, DamagedBlocks* damaged);
PyResult<void> export_samples(ExportSlots slots, DamagedBlocks* damaged);
// The export of arguments already converted.
PyResult<void> write_export(const ExportArguments& arguments, DamagedBlocks* damaged);

// The damaged blocks as a list of (block, message, outside_range, sample_count) tuples.
PyResult<Ref> damaged_list(const DamagedBlocks& damaged);

}  // namespace velnora::py
