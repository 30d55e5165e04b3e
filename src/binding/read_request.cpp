#include "binding/read_request.hpp"

#include "binding/cut_dict.hpp"
#include "binding/resample_options.hpp"

namespace velnora::py {

PyResult<ReadRequest> parse_read_request(const ReadOptions& options) {
  auto cut = parse_cut_config(options.cut);
  if (!cut) return raised();
  auto rate = parse_resample_options(options.resample_hz, options.resample_method);
  if (!rate) return raised();
  return ReadRequest{*cut, *rate};
}

}  // namespace velnora::py
