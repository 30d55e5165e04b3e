#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace velnora {

// Whether the bytes are well-formed UTF-8 as a whole. No errors, no allocation.
bool is_valid_utf8(std::span<const std::byte> bytes);

// Decodes UTF-8, replacing each maximal ill-formed subpart with U+FFFD (the
// Unicode Standard's recommended practice). No errors; allocates the result.
std::string decode_utf8_lossy(std::span<const std::byte> bytes);

}  // namespace velnora
