#pragma once

// The operations on a recording as a whole, which the binding calls as their
// stages define them, without a forwarder: the metadata block decoded
// (read_cwa_header; read_checked_header where the readers must be able to
// open the file too), the data-block positions counted
// (count_block_positions), the sampling report, with or without damage passed
// over, and the channels its pass finds carried (sampling_consistency_report,
// sampling_report_past_damage, carried_channels).

#include "core/format/cwa_file.hpp"
#include "core/io/sector_reader.hpp"
#include "core/report/sampling_report.hpp"
