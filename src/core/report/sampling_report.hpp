#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/format/channels.hpp"
#include "core/format/data_block.hpp"
#include "core/read/damaged_blocks.hpp"

namespace velnora {

// What a recording's metadata block declares next to what its data blocks
// deliver. Date-times are RFC 3339 texts, durations seconds, rates Hz.
struct SamplingReport {
  std::optional<std::string> start_from_header;
  std::optional<std::string> end_from_header;
  std::optional<double> duration_s_from_header;
  std::optional<std::string> start_from_data;
  std::optional<std::string> end_from_data;
  std::optional<double> duration_s_from_data;
  double samplingrate_hz_from_header;
  std::optional<double> samplingrate_hz_from_data;
  // Not one of the report's values: what the same pass finds the good data
  // blocks carry, for the exports that leave out what none carries.
  CarriedSensors sensors;
};

// Reads the metadata block, then screens every sector after it in one pass,
// timing the data blocks with the continuity correction. Errors: those of
// read_cwa_header, Io, "First block is not a metadata block", the messages of
// screen_data_block, Interrupted. Allocates one read buffer and the report's texts; nothing grows
// with the file.
Result<SamplingReport> sampling_consistency_report(std::string_view path);

// The same report over the good data blocks, passing over malformed ones,
// which are listed in `damaged`, and timing the blocks as a read past damage
// does (DecodedBlockStream). Errors: those of the report but the malformed
// blocks' messages. Allocates besides an entry per damaged block.
Result<SamplingReport> sampling_report_past_damage(std::string_view path, DamagedBlocks& damaged);

// `include` without the sensors no good data block of the recording carries,
// found by the pass of sampling_report_past_damage. Errors: those of the
// report but the malformed blocks' messages.
Result<IncludeFlags> carried_channels(std::string_view path, IncludeFlags include);

}  // namespace velnora
