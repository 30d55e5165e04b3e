#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "core/base/cwa_error.hpp"

namespace velnora {

// Which part of a recording a read covers. A plain value, copied freely.
struct CutConfig {
  // The whole recording.
  struct NoCut {};
  // Data-block positions [start, end); absent start is 0, absent end the last block.
  struct Blocks {
    std::optional<std::uint64_t> start;
    std::optional<std::uint64_t> end;
  };
  // Seconds [start, end) from the first data block's start; absent is unbounded.
  struct Seconds {
    std::optional<double> start;
    std::optional<double> end;
  };

  std::variant<NoCut, Blocks, Seconds> range;

  // The message of the first rule the cut breaks; allocates only for that message.
  Result<void> validate() const;
};

}  // namespace velnora
