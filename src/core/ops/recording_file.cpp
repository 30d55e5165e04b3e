#include "core/ops/recording_file.hpp"

namespace velnora {

Result<CwaHeader> read_recording_header(std::string_view path) { return read_cwa_header(path); }

}  // namespace velnora
