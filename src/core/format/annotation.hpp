#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace velnora {

// The annotation text of a metadata block: bytes 64..511 without their trailing
// filler (0x00, 0x20, 0xFF), decoded as UTF-8 with ill-formed parts replaced by
// U+FFFD. A block shorter than 512 bytes contributes what it has. No errors;
// allocates the result.
std::string parse_annotation(std::span<const std::byte> block);

}  // namespace velnora
