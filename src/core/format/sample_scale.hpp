#pragma once

#include <cstdint>

namespace velnora {

// The scale factors of one block, from the codes in the top bits of its light
// field, computed once per block.
struct SampleScale {
  // 1 / A with A = 256 * 2^k. A is a power of two, so multiplying by its exact
  // reciprocal gives bit for bit the quotient raw / A.
  float acc_multiplier;
  // G6 = 32768 / R: the 6-axis gyro divides by this rounded divisor.
  float gyro_divisor;
  // G9 = R * 2^-15: the 9-axis gyro multiplies by this exact factor. The two
  // forms of raw * R / 32768 may differ in the last bit; each layout keeps its own.
  float gyro_multiplier;
};

// The block's scale factors. No errors, no allocation.
SampleScale sample_scale(std::uint16_t light);

}  // namespace velnora
