#include "core/base/utf8.hpp"

#include <cstdint>

namespace velnora {

namespace {

// What a lead byte allows: the number of continuation bytes and the range of
// the first one. Narrowing that first range is what rules out overlong forms,
// surrogates and code points above U+10FFFF.
struct LeadRule {
  bool valid;
  std::uint8_t continuations;
  std::uint8_t first_low;
  std::uint8_t first_high;
};

constexpr LeadRule lead_rule(std::uint8_t lead) {
  if (lead < 0x80) return {true, 0, 0, 0};
  if (lead < 0xC2) return {false, 0, 0, 0};  // stray continuation or overlong C0/C1
  if (lead < 0xE0) return {true, 1, 0x80, 0xBF};
  if (lead == 0xE0) return {true, 2, 0xA0, 0xBF};
  if (lead == 0xED) return {true, 2, 0x80, 0x9F};
  if (lead < 0xF0) return {true, 2, 0x80, 0xBF};
  if (lead == 0xF0) return {true, 3, 0x90, 0xBF};
  if (lead < 0xF4) return {true, 3, 0x80, 0xBF};
  if (lead == 0xF4) return {true, 3, 0x80, 0x8F};
  return {false, 0, 0, 0};
}

struct Sequence {
  std::size_t length;  // of the well-formed sequence, or of the maximal ill-formed subpart
  bool well_formed;
};

// The sequence at the start of a non-empty byte run. An ill-formed subpart ends
// before the first byte that cannot continue it, so that byte starts afresh.
Sequence next_sequence(std::span<const std::byte> bytes) {
  const LeadRule rule = lead_rule(static_cast<std::uint8_t>(bytes[0]));
  if (!rule.valid) return {1, false};
  std::size_t length = 1;
  for (; length <= rule.continuations; ++length) {
    if (length == bytes.size()) return {length, false};
    const auto byte = static_cast<std::uint8_t>(bytes[length]);
    const std::uint8_t low = length == 1 ? rule.first_low : 0x80;
    const std::uint8_t high = length == 1 ? rule.first_high : 0xBF;
    if (byte < low || byte > high) return {length, false};
  }
  return {length, true};
}

}  // namespace

bool is_valid_utf8(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const Sequence sequence = next_sequence(bytes);
    if (!sequence.well_formed) return false;
    bytes = bytes.subspan(sequence.length);
  }
  return true;
}

std::string decode_utf8_lossy(std::span<const std::byte> bytes) {
  static constexpr char replacement[] = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const Sequence sequence = next_sequence(bytes);
    if (sequence.well_formed) {
      text.append(reinterpret_cast<const char*>(bytes.data()), sequence.length);
    } else {
      text.append(replacement, sizeof replacement - 1);
    }
    bytes = bytes.subspan(sequence.length);
  }
  return text;
}

}  // namespace velnora
