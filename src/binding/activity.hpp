#pragma once

#include <Python.h>

#include "binding/entry_point.hpp"

namespace velnora::py {

// velnora_tools._native's gravity calibration and epochs (docs/epochs.md).
EntryPoint calibrate;
EntryPoint epochs;
EntryPoint epoch_length_us;
extern const char calibrate_doc[];
extern const char epochs_doc[];
extern const char epoch_length_doc[];

}  // namespace velnora::py
