#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/base/wide_numeric.hpp"
#include "core/base/wide_vectors.hpp"
#include "core/format/block_clock.hpp"
#include "core/format/data_block.hpp"

// The 256-bit forms are AVX2 intrinsics, so a build without them has nothing
// to compare here.
#if defined(VELNORA_WIDE_VECTORS)

using namespace velnora;

namespace {

constexpr std::array layouts{SampleLayout::packed3, SampleLayout::unpacked3, SampleLayout::axis6,
                             SampleLayout::axis9};
constexpr std::array<std::size_t, 4> max_counts{120, 80, 40, 26};
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr SampleData nan_fields{nan, nan, nan, nan, nan, nan, nan, nan, nan};

// Random sample bytes, every fourth block with its 16-bit values (or packed
// words) drawn from the extremes instead; the light field holds the scale
// codes. A sector of exactly 512 bytes on the heap, so a load past its end
// trips the address sanitizer.
std::vector<std::byte> random_sector(std::mt19937& random, std::uint16_t light, bool extremes) {
  std::vector<std::byte> sector(512);
  for (std::byte& b : sector) b = static_cast<std::byte>(random());
  std::memcpy(sector.data() + 18, &light, sizeof light);
  if (extremes) {
    static constexpr std::uint16_t edges[] = {0x8000, 0x7FFF, 0x0000, 0xFFFF, 0x0001, 0x0200, 0xFE00, 0x01FF};
    for (std::size_t at = 30; at < 510; at += 2) {
      const std::uint16_t edge = edges[random() % std::size(edges)];
      std::memcpy(sector.data() + at, &edge, sizeof edge);
    }
  }
  return sector;
}

// Both forms of parse_samples over random blocks of every layout, scale code
// pair and count, with and without the magnetometer: the same bits in every
// field (so -0.0 against +0.0 counts), from buffers that start out as NaN so
// that a field a form leaves unwritten shows; and both forms of
// parse_acceleration, each axis the bits of parse_samples' field.
void wide_unpacking_matches_one_by_one() {
  if (!wide_vectors_available()) return;
  std::mt19937 random(7);
  for (std::size_t l = 0; l < layouts.size(); ++l) {
    for (std::uint16_t codes = 0; codes < 64; ++codes) {
      for (int trial = 0; trial < 8; ++trial) {
        const std::uint16_t light = static_cast<std::uint16_t>(codes << 10 | (random() & 0x3FF));
        const std::vector<std::byte> sector = random_sector(random, light, trial % 4 == 0);
        const std::size_t count = trial == 0 ? max_counts[l] : 1 + random() % max_counts[l];
        const CwaDataBlock block{sector.data(), 0, count, 0, 0x4A, layouts[l]};
        const bool magnetometer = trial % 2 == 1;
        SampleBuffer one_by_one, in_vectors;
        one_by_one.fill(nan_fields);
        in_vectors.fill(nan_fields);
        const DecodedSamples a = block.parse_samples_one_by_one(magnetometer, one_by_one);
        const DecodedSamples b = block.parse_samples_in_vectors(magnetometer, in_vectors);
        check(a.samples.size() == count && b.samples.size() == count);
        check(a.has_magnetometer == b.has_magnetometer);
        check(std::memcmp(one_by_one.data(), in_vectors.data(), count * sizeof(SampleData)) == 0);
        AccelerationBuffer axes_one{}, axes_wide{};
        check(block.parse_acceleration_one_by_one(axes_one).size() == count);
        check(block.parse_acceleration_in_vectors(axes_wide).size() == count);
        for (std::size_t i = 0; i < count; ++i) {
          for (const auto& [axis, field] : {std::pair{&AccelerationBuffer::x, &SampleData::acc_x},
                                            std::pair{&AccelerationBuffer::y, &SampleData::acc_y},
                                            std::pair{&AccelerationBuffer::z, &SampleData::acc_z}}) {
            const auto bits = [](float value) { return std::bit_cast<std::uint32_t>(value); };
            check(bits((axes_one.*axis)[i]) == bits(one_by_one[i].*field));
            check(bits((axes_wide.*axis)[i]) == bits(one_by_one[i].*field));
          }
        }
      }
    }
  }
}

// Both forms of sample_timestamps over random block timings from 2000 to
// 2063, and over starts where the 256-bit form must hand over to the
// saturating one: NaN, infinities, before 1970, past 2^52 microseconds, and
// blocks that straddle that bound.
void wide_timestamps_match_one_by_one() {
  if (!wide_vectors_available()) return;
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> seconds(946684800.0, 2966371199.0);
  std::uniform_real_distribution<double> duration(-0.5, 2.0);
  const double bound = 0x1p52 / 1e6;
  const std::vector<double> edges{std::nan(""),  std::numeric_limits<double>::infinity(),
                                  -1e300,        1e300,
                                  -1.0,          -1e-7,
                                  bound - 0.001, bound - 0.4e-6,
                                  bound,         9.3e12};
  for (int trial = 0; trial < 20000; ++trial) {
    const double start = trial % 8 == 0 ? edges[random() % edges.size()] : seconds(random);
    const std::uint64_t count = 1 + random() % 120;
    const BlockTiming timing{start, start + duration(random), count};
    std::array<std::int64_t, 120> one_by_one{}, in_vectors{};
    timing.sample_timestamps_one_by_one(one_by_one);
    timing.sample_timestamps_in_vectors(in_vectors);
    check(one_by_one == in_vectors);
  }
}

// seconds_from_us_x4 gives seconds_from_us's bits for four timestamps in
// [0, 2^52) and declines any four with one outside.
[[gnu::target("avx2")]] void wide_seconds_match_one_by_one() {
  if (!wide_vectors_available()) return;
  std::mt19937_64 random(13);
  constexpr std::int64_t bound = std::int64_t{1} << 52;
  constexpr std::array<std::int64_t, 7> edges{0,
                                              1,
                                              -1,
                                              bound - 1,
                                              bound,
                                              std::numeric_limits<std::int64_t>::min(),
                                              std::numeric_limits<std::int64_t>::max()};
  for (int trial = 0; trial < 100000; ++trial) {
    std::array<std::int64_t, 4> us;
    for (std::int64_t& u : us) {
      u = random() % 16 == 0 ? edges[random() % edges.size()] : static_cast<std::int64_t>(random() % bound);
    }
    std::array<double, 4> wide{};
    const bool taken = seconds_from_us_x4(us.data(), wide.data());
    check(taken == std::ranges::all_of(us, [&](std::int64_t u) { return u >= 0 && u < bound; }));
    for (std::size_t k = 0; taken && k < us.size(); ++k) {
      check(std::bit_cast<std::uint64_t>(wide[k]) == std::bit_cast<std::uint64_t>(seconds_from_us(us[k])));
    }
  }
}

}  // namespace

TEST_SUITE(unpack_tests) {
  wide_unpacking_matches_one_by_one();
  wide_timestamps_match_one_by_one();
  wide_seconds_match_one_by_one();
}

#endif
