#pragma once

#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/format/channels.hpp"
#include "core/format/cwa_file.hpp"
#include "core/report/sampling_report.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/read_plan.hpp"

namespace velnora {

// What an export that keeps the recording's description beside its samples
// needs: the metadata block, the sampling report and the samples.
struct ExportRead {
  CwaHeader header;
  SamplingReport report;
  CwaDataResult samples;
};

// read_cwa_header, then the report (sampling_report_past_damage when
// `damaged` is given, its own list of damage dropped), then read_cut_samples
// into `damaged`, without the sensors no good block carries when
// `carried_only`; the first failure is the result. Allocates what each of
// the three allocates.
Result<ExportRead> read_for_export(std::string_view path, const CutConfig& cut, IncludeFlags include,
                                   std::optional<double> resample_hz, DamagedBlocks* damaged = nullptr,
                                   bool carried_only = false);

}  // namespace velnora
