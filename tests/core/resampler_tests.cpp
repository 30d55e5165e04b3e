#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/base/wide_vectors.hpp"
#include "core/resample/interpolation.hpp"
#include "core/resample/sample_queue.hpp"
#include "core/resample/streaming_resampler.hpp"

using namespace velnora;

namespace {

constexpr IncludeFlags only_channels{
    .magnetometer = false, .temperature = false, .light = false, .battery = false};

// One block of samples at the given microsecond times; acc_x carries the
// value, the other channels are zero.
struct Block {
  std::vector<std::int64_t> micros;
  std::vector<SampleData> samples;
};

Block block_of(const std::vector<std::int64_t>& micros, const std::vector<float>& acc_x) {
  Block block{micros, {}};
  for (float value : acc_x) block.samples.push_back(SampleData{.acc_x = value});
  return block;
}

StreamingResampler resampler(double hz) {
  return std::move(*StreamingResampler::create(std::nullopt, std::nullopt, hz, only_channels, 0));
}

bool feed(StreamingResampler& resampler, const Block& block) {
  return resampler.append_block(block.micros, block.samples, BlockReadings{}).has_value();
}

CwaDataResult finish(StreamingResampler& resampler) {
  check(resampler.emit_ready(true).has_value());
  return std::move(*std::move(resampler).take_output());
}

std::vector<std::int64_t> timestamps(const CwaDataResult& result) {
  return {result.timestamp.values().begin(), result.timestamp.values().end()};
}

std::vector<float> acc_x(const CwaDataResult& result) {
  const auto values = result.columns[channel_index("acc_x")]->values();
  return {values.begin(), values.end()};
}

// The first two and last two points lie in the outer segments and are linear;
// the two between are cubic (3.375 where the line gives 4.5). Fed one sample
// per block, so the cubic points wait for their right neighbour.
void four_samples_at_200_hz() {
  StreamingResampler run = resampler(200.0);
  const std::vector<std::int64_t> micros{1000000000, 1000010000, 1000020000, 1000030000};
  const std::vector<float> values{0.0f, 1.0f, 8.0f, 27.0f};
  for (std::size_t k = 0; k < micros.size(); ++k) check(feed(run, block_of({micros[k]}, {values[k]})));
  const CwaDataResult result = finish(run);
  check(timestamps(result) == std::vector<std::int64_t>{1000000000, 1000005000, 1000010000, 1000015000,
                                                        1000020000, 1000025000, 1000030000});
  check(acc_x(result) == std::vector<float>{0.0f, 0.5f, 1.0f, 3.375f, 8.0f, 17.5f, 27.0f});
}

// Feeds `blocks` blocks of 120 samples 10 ms apart.
void feed_steady(StreamingResampler& run, int blocks) {
  Block block;
  block.micros.resize(120);
  block.samples.resize(120);
  std::int64_t micros = 1600000000000000;
  for (int b = 0; b < blocks; ++b) {
    for (std::int64_t& time : block.micros) time = micros += 10000;
    if (!feed(run, block)) break;
  }
}

// The queue holds what the next points still need, never the recording:
// hours at 100 Hz in 120-sample blocks leave it at the first power of two
// that holds a block.
void queue_stays_bounded() {
  StreamingResampler run = resampler(30.0);
  feed_steady(run, 10000);
  check(run.queue_capacity() == 128);
  check(finish(run).size() == 360000);
}

// Adding to a full buffer moves what is still queued to its start when
// samples were removed, and doubles the buffer otherwise; either way the
// queue keeps its samples in order.
void queue_moves_before_it_grows() {
  SampleQueue queue;
  double next = 0.0;
  const auto add = [&](std::size_t count) {
    auto slots = queue.add_slots(count);
    check(slots.has_value());
    for (double& time : slots->times) time = next++;
  };
  const auto in_order = [&] {
    const auto queued = queue.times();
    for (std::size_t j = 0; j < queued.size(); ++j) {
      if (queued[j] != next - static_cast<double>(queued.size() - j)) return false;
    }
    return true;
  };
  add(5);
  check(queue.capacity() == 8 && in_order());
  queue.drop_front(4);
  add(6);  // 1 + 6 fit once the one left is moved to the start
  check(queue.capacity() == 8 && queue.size() == 7 && in_order());
  add(3);  // 10 do not
  check(queue.capacity() == 16 && queue.size() == 10 && in_order());
  queue.drop_front(9);
  add(100);
  check(queue.capacity() == 128 && queue.size() == 101 && in_order());
}

// 1000 / 5e-324 overflows, so point 0 lies at NaN: nothing can ever be
// produced, and nothing needs keeping.
void nan_grid_keeps_the_queue_small() {
  StreamingResampler run = resampler(5e-324);
  feed_steady(run, 1000);
  check(run.queue_capacity() == 128);
  check(finish(run).size() == 0);
}

// A sample whose first channel is `value`, the others 0.
SampleValues sample_with(double value) {
  SampleValues sample{};
  sample.values[0] = value;
  return sample;
}

// The orders of operations show only where the terms cancel. Cubic, with
// unit weights: ((2^54 + 1) - 2^54) + 1 is 1, while pairing the sums as
// (2^54 + 1) + (-2^54 + 1) gives 0. Linear, with yb = 72 and yc = -72 and a
// fraction just under one half: f × (yc - yb) + yb rounds to another float32
// than (1 - f) × yb + f × yc.
void interpolation_keeps_its_order_of_operations() {
  using Weights = PointWeights<SplitQuad>;
  const Weights unit{.kind = Weights::Kind::cubic, .lagrange = SplitQuad::all(1.0)};
  const SampleValues a = sample_with(0x1p54), b = sample_with(1.0), c = sample_with(-0x1p54),
                     d = sample_with(1.0);
  check(interpolate(unit, a, b, c, d).quads[0][0] == 1.0f);
  const Weights linear{.kind = Weights::Kind::linear, .fraction = 0x1.ffffdfb6db38fp-2};
  check(interpolate(linear, a, sample_with(72.0), sample_with(-72.0), d).quads[0][0] == 0x1.22924cp-14f);
  const Weights left{.kind = Weights::Kind::left};
  check(interpolate(left, a, sample_with(72.0), sample_with(-72.0), d).quads[0][0] == 72.0f);
}

// Four samples around a grid point: random values, times spaced from
// microseconds (where the cubic falls back to linear) to seconds, and the
// point somewhere in the middle segment.
struct Neighbourhood {
  std::array<SampleValues, 4> samples;
  std::array<double, 4> times;
  double t;
};

Neighbourhood random_neighbourhood(std::mt19937_64& bits) {
  std::uniform_real_distribution<float> value(-100.0f, 100.0f);
  std::uniform_int_distribution<std::int64_t> gap(1, 2000000);
  std::uniform_real_distribution<double> place(0.0, 1.0);
  Neighbourhood around{};
  std::int64_t micros = 1600000000000000 + gap(bits);
  for (std::size_t k = 0; k < 4; ++k) {
    micros += gap(bits) >> (bits() % 16);
    for (double& channel : around.samples[k].values) channel = value(bits);
    around.times[k] = static_cast<double>(micros) / 1000000.0;
  }
  const double tb = around.times[1], tc = around.times[2];
  around.t = tb + (tc - tb) * place(bits);
  return around;
}

template <class Quad>
[[gnu::always_inline]] inline PointValues values_at(const Neighbourhood& around) {
  const auto& [a, b, c, d] = around.samples;
  return interpolate(cubic_weights<Quad>(around.t, Quad::load(around.times.data())), a, b, c, d);
}

// Compiled for AVX2 where the 256-bit forms are built, else for the baseline.
#if defined(VELNORA_WIDE_VECTORS)
[[gnu::target("avx2")]]
#endif
PointValues
wide_values_at(const Neighbourhood& around) {
  return values_at<WideQuad>(around);
}

// The 256-bit form, which the resampler takes on processors with AVX2, gives
// the bits of the two-halves form everywhere, the linear fallback included.
void quad_forms_agree() {
#if defined(VELNORA_WIDE_VECTORS)
  if (!wide_vectors_available()) return;
#endif
  std::mt19937_64 bits(3);
  for (int k = 0; k < 200000; ++k) {
    const Neighbourhood around = random_neighbourhood(bits);
    const PointValues split = values_at<SplitQuad>(around), wide = wide_values_at(around);
    check(std::memcmp(&split, &wide, sizeof split) == 0);
  }
}

// Both ways of queuing samples give the same slots and the same verdict on
// the third quad, which -0.0 (and any other value) makes loud.
void sample_forms_agree() {
#if defined(VELNORA_WIDE_VECTORS)
  if (!wide_vectors_available()) return;
  std::mt19937_64 bits(5);
  std::uniform_real_distribution<float> value(-8.0f, 8.0f);
  for (int block = 0; block < 2000; ++block) {
    std::vector<std::int64_t> micros(120);
    std::vector<SampleData> samples(120);
    const std::size_t loud = bits() % 121;  // the one sample with a third-quad value, or none
    for (std::size_t k = 0; k < samples.size(); ++k) {
      micros[k] = 1600000000000000 + static_cast<std::int64_t>(bits() % 100000000);
      SampleData& sample = samples[k];
      sample =
          SampleData{value(bits), value(bits), value(bits), value(bits), value(bits), 0.0f, 0.0f, 0.0f, 0.0f};
      if (k == loud) (&sample.gyro_z)[bits() % 4] = bits() % 2 ? -0.0f : value(bits);
    }
    const BlockReadings readings{value(bits), value(bits), value(bits)};
    std::vector<SampleValues> values_in_pairs(120), values_in_quads(120);
    std::vector<double> times_in_pairs(120), times_in_quads(120);
    const bool quiet_in_pairs =
        set_timed_samples_in_pairs({values_in_pairs, times_in_pairs}, micros, samples, readings);
    const bool quiet_in_quads =
        set_timed_samples_in_quads({values_in_quads, times_in_quads}, micros, samples, readings);
    check(quiet_in_pairs == (loud == 120) && quiet_in_quads == quiet_in_pairs);
    check(std::memcmp(values_in_pairs.data(), values_in_quads.data(), 120 * sizeof(SampleValues)) == 0);
    check(times_in_pairs == times_in_quads);
  }
#endif
}

}  // namespace

TEST_SUITE(resampler_tests) {
  four_samples_at_200_hz();
  queue_stays_bounded();
  queue_moves_before_it_grows();
  nan_grid_keeps_the_queue_small();
  interpolation_keeps_its_order_of_operations();
  quad_forms_agree();
  sample_forms_agree();
}
