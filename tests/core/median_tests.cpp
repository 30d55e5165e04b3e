#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <deque>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/activity/median_angle.hpp"
#include "core/activity/window_median.hpp"

using namespace velnora;

namespace {

constexpr float largest = 0x1p7f - 0x1p-15f;  // the grid's top: 2^22 - 1 keys

// The median of `values` by sorting a copy: the definition both forms keep.
float sorted_median(std::vector<float> values) {
  std::ranges::sort(values);
  const std::size_t n = values.size();
  if (n % 2 == 1) return values[n / 2];
  return static_cast<float>((static_cast<double>(values[n / 2 - 1]) + values[n / 2]) / 2.0);
}

bool same_bits(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// Draws values that stress the counts: few distinct ones, both ends of the
// grid, steps of 2^-8 g with now and then one of 2^-15 g (counted finer from
// then on), or all one value.
struct ValueSource {
  enum class Kind { few, extremes, mixed_steps, one };
  Kind kind;
  std::mt19937 random{7};

  float next() {
    switch (kind) {
      case Kind::few:
        return static_cast<float>(static_cast<int>(random() % 5) - 2) * 0x1p-8f;
      case Kind::extremes: {
        const float ends[] = {-128.0f, largest, 0.0f, -0x1p-15f, 0x1p-15f};
        return ends[random() % 5];
      }
      case Kind::mixed_steps:
        if (random() % 50 == 0)
          return static_cast<float>(static_cast<int>(random() % 2001) - 1000) * 0x1p-15f;
        return static_cast<float>(static_cast<int>(random() % 4097) - 2048) * 0x1p-8f;
      case Kind::one:
        return 0.75f;
    }
    return 0.0f;
  }
};

// Adds and removes at random, keeping between none and `capacity` values
// and now and then sliding over a few, and checks the counted form's
// medians against the sorted form's and the sorted copy's after each step.
void check_forms_agree(ValueSource source, std::size_t capacity) {
  auto counted = CountedWindow::reserve(capacity);
  check(counted.has_value());
  if (!counted) return;
  SortedWindow sorted(capacity);
  std::deque<float> held;
  std::mt19937 random{11};
  const auto agree = [&] {
    check_eq(counted->size(), held.size());
    if (held.empty()) return;
    const float expected = sorted_median({held.begin(), held.end()});
    check(same_bits(counted->median(), expected) && same_bits(sorted.median(), expected));
  };
  for (int step = 0; step < 4000; ++step) {
    const auto choice = random() % 8;
    if (held.size() == capacity && capacity % 2 == 1 && choice == 0) {
      std::array<AxisKeys, 5> keys;
      std::array<Axes, 5> medians;
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const float value = source.next();
        keys[i][0] = CountedWindow::key_of(value).key;
        sorted.replace(held.front(), value);
        held.pop_front();
        held.push_back(value);
        check(same_bits(sorted.median(), sorted_median({held.begin(), held.end()})));
        medians[i][1] = sorted.median();
      }
      for (const AxisKeys& key : keys) counted->admit(key[0]);
      counted->slide(keys, medians, 0);
      for (const Axes& median : medians) check(same_bits(median[0], median[1]));
    } else if (held.size() < capacity && (held.empty() || choice < 5)) {
      const float value = source.next();
      counted->push(CountedWindow::key_of(value).key);
      sorted.insert(value);
      held.push_back(value);
    } else {
      counted->pop();
      sorted.erase(held.front());
      held.pop_front();
    }
    if (step % 1000 == 999) {
      counted->clear();
      sorted.clear();
      held.clear();
    }
    agree();
  }
}

// The runs a windowed stage puts out.
struct Collected {
  std::vector<std::int64_t> times;
  std::vector<Axes> values;
  Result<void> add(const SampleRun& run) {
    const AccelerationSpans& acc = run.acceleration;
    for (std::size_t k = 0; k < run.times.size(); ++k) {
      times.push_back(run.times[k]);
      values.push_back({acc.x[k], acc.y[k], acc.z[k]});
    }
    return {};
  }
};

// Samples at 10 Hz with pauses of 2 s that end stretches, fed in runs of
// random lengths: every sample's medians are those of its window within its
// stretch, sorted. One stretch holds a value off the grid (0.1 g).
void check_stage(ValueSource source, std::size_t reach) {
  std::mt19937 random{5};
  std::vector<std::int64_t> times;
  std::array<std::vector<float>, 3> axes;
  std::int64_t t = 0;
  for (int i = 0; i < 1500; ++i) {
    t += i % 400 == 0 ? 2'000'000 : 100'000;
    times.push_back(t);
    axes[0].push_back(source.next());
    axes[1].push_back(i == 700 ? 0.1f : source.next());
    axes[2].push_back(-source.next());
  }
  const AccelerationSpans samples{axes[0], axes[1], axes[2]};
  WindowedStage<RollingMedianPolicy, Collected> stage(RollingMedianPolicy(reach), Collected{});
  for (std::size_t from = 0; from < times.size();) {
    const std::size_t count = std::min<std::size_t>(1 + random() % 40, times.size() - from);
    check(stage.add({RunTimes(std::span(times).subspan(from, count)), samples.subspan(from, count), 20.0})
              .has_value());
    from += count;
  }
  check(stage.finish().has_value());
  const Collected& out = stage.next();
  check(out.times == times);
  if (out.times != times) return;
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < times.size(); ++i) {
    const std::size_t stretch = i / 400 * 400;
    const std::size_t end = std::min(stretch + 400, times.size());
    const std::size_t first = std::max(stretch, i >= reach ? i - reach : 0);
    const std::size_t last = std::min(end - 1, i + reach);
    for (std::size_t a = 0; a < 3; ++a) {
      std::vector<float> window;
      for (std::size_t k = first; k <= last; ++k) window.push_back(axes[a][k]);
      mismatches += same_bits(out.values[i][a], sorted_median(window)) ? 0 : 1;
    }
  }
  check_eq(mismatches, std::size_t{0});
}

}  // namespace

TEST_SUITE(median_tests) {
  using Kind = ValueSource::Kind;
  for (const float on : {-128.0f, largest, 0x1p-15f, 0.0f}) check(CountedWindow::key_of(on).on_grid);
  for (const float off :
       {128.0f, -0x1.000002p7f, -0.0f, 0x1p-16f, 0.1f, std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::infinity(), 1e30f})
    check(!CountedWindow::key_of(off).on_grid);
  check(!CountedWindow::reserve(65536).has_value());

  for (const Kind kind : {Kind::few, Kind::extremes, Kind::mixed_steps, Kind::one}) {
    check_forms_agree(ValueSource{kind}, 1);
    check_forms_agree(ValueSource{kind}, 63);
    check_stage(ValueSource{kind}, 3);
    check_stage(ValueSource{kind}, 60);
  }
}
