#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/format/channels.hpp"
#include "core/read/damaged_blocks.hpp"

namespace velnora {

// Refuses an output path that names the input file itself, directly, through
// a symbolic link or as another hard link to it, since creating the output
// would truncate the recording before it is read: "Output path 'x.cwa' is the
// input recording 'x.cwa'; refusing to overwrite it". Neither file is opened;
// a path that cannot be examined passes, leaving its error to the read or the
// creation that follows. Allocates the path texts.
Result<void> check_output_is_not_input(std::string_view input_path, std::string_view output_path);

// Writes the samples of a planned range of blocks as CSV, each block's rows as
// soon as it is decoded. The output is created once the input was opened and
// checked; a later failure leaves the header and the rows of every block
// before the failing one in it. A range without data blocks gives the header
// alone. Errors: those of opening the range and of every block, Io for the
// output's creation and final flush, a failed record write's system text.
// Memory: one block and the writer's buffer, whatever the range's length.
// With `damaged`, malformed blocks are passed over and listed there
// (DecodedBlockStream).
Result<void> write_cwa_csv_data(std::string_view file_path, std::string_view output_path,
                                std::optional<std::uint64_t> start_block,
                                std::optional<std::uint64_t> block_count, IncludeFlags include,
                                DamagedBlocks* damaged = nullptr);

// Writes every row of a finished store as CSV; the output is created only
// here, so whatever failed before leaves an existing file untouched. A
// channel the flags select but the store lacks is 0.0 for a sample channel;
// for a reading it fails the first row with "Temperature requested but
// unavailable" (likewise "Light", "Battery"). Errors besides: Io for the
// output's creation and final flush, a failed record write's system text,
// Interrupted (the rows before it are kept).
// Allocates the writer's buffer.
Result<void> write_data_result_csv(std::string_view output_path, const CwaDataResult& result,
                                   IncludeFlags include);

}  // namespace velnora
