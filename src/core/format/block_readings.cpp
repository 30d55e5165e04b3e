#include "core/format/block_readings.hpp"

#include <cmath>

namespace velnora {

namespace {

// Only the low 10 bits are readings; the top bits of light are scale codes.
constexpr std::uint16_t reading_mask = 0x3FF;

float temperature_celsius(std::uint16_t field) {
  return (static_cast<float>(field & reading_mask) * 75.0f) * 0.00390625f + (-50.0f);
}

// The single-precision powf is part of the result: a double pow rounded to
// float can differ in the last bit.
float light_lux(std::uint16_t field) {
  return powf(10.0f, static_cast<float>(field & reading_mask) / 341.0f);
}

float battery_volts(std::uint8_t field) {
  return (static_cast<float>(field) + 512.0f) * 6.0f * 0.0009765625f;
}

}  // namespace

BlockReadings block_readings(const CwaDataBlock& block) {
  return BlockReadings{
      .temperature = temperature_celsius(block.temperature),
      .light = light_lux(block.light),
      .battery = battery_volts(block.battery),
  };
}

}  // namespace velnora
