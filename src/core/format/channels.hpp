#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/format/data_block.hpp"

namespace velnora {

// Which optional columns a read produces.
struct IncludeFlags {
  bool magnetometer = true;
  bool temperature = true;
  bool light = true;
  bool battery = true;
  bool gyroscope = true;
};

// `include` without the columns of a sensor that no data block carries.
constexpr IncludeFlags carried_only(IncludeFlags include, CarriedSensors carried) {
  include.gyroscope = include.gyroscope && carried.gyroscope;
  include.magnetometer = include.magnetometer && carried.magnetometer;
  return include;
}

// One output channel: a column of every read, a CSV field, a value the
// resampler interpolates.
struct Channel {
  std::string_view name;                // column key and CSV header field
  float SampleData::*sample_field;      // its value in each sample, or null for
  float BlockReadings::*reading_field;  // a reading every sample of a block shares
  bool IncludeFlags::*include_flag;     // the flag that selects it; null: always present
  // Its place among the resampler's twelve float64 values, four to a quad:
  // the last gyroscope axis and the magnetometer share the third quad, which
  // is +0.0 throughout 3-axis data and then need not be computed.
  std::size_t lane;
};

// Every channel in column order, the order of a result's keys and of the CSV
// fields after the time. Everything that lists channels derives from here.
inline constexpr std::array<Channel, 12> channels{{
    {"acc_x", &SampleData::acc_x, nullptr, nullptr, 0},
    {"acc_y", &SampleData::acc_y, nullptr, nullptr, 1},
    {"acc_z", &SampleData::acc_z, nullptr, nullptr, 2},
    {"gyro_x", &SampleData::gyro_x, nullptr, &IncludeFlags::gyroscope, 6},
    {"gyro_y", &SampleData::gyro_y, nullptr, &IncludeFlags::gyroscope, 7},
    {"gyro_z", &SampleData::gyro_z, nullptr, &IncludeFlags::gyroscope, 8},
    {"mag_x", &SampleData::mag_x, nullptr, &IncludeFlags::magnetometer, 9},
    {"mag_y", &SampleData::mag_y, nullptr, &IncludeFlags::magnetometer, 10},
    {"mag_z", &SampleData::mag_z, nullptr, &IncludeFlags::magnetometer, 11},
    {"temperature", nullptr, &BlockReadings::temperature, &IncludeFlags::temperature, 3},
    {"light", nullptr, &BlockReadings::light, &IncludeFlags::light, 4},
    {"battery", nullptr, &BlockReadings::battery, &IncludeFlags::battery, 5},
}};
inline constexpr std::size_t channel_count = channels.size();

// Every lane holds exactly one channel.
static_assert([] {
  std::array<bool, channel_count> taken{};
  for (const Channel& channel : channels) {
    if (channel.lane >= channel_count || taken[channel.lane]) return false;
    taken[channel.lane] = true;
  }
  return true;
}());

constexpr bool is_included(const Channel& channel, IncludeFlags include) {
  return channel.include_flag == nullptr || include.*channel.include_flag;
}

// The channel's value for one sample of a block.
constexpr float channel_value(const Channel& channel, const SampleData& sample,
                              const BlockReadings& readings) {
  return channel.sample_field != nullptr ? sample.*channel.sample_field : readings.*channel.reading_field;
}

// The index of the channel called `name`; compilation fails for other names.
consteval std::size_t channel_index(std::string_view name) {
  for (std::size_t c = 0; c < channel_count; ++c) {
    if (channels[c].name == name) return c;
  }
  throw "no channel of that name";
}

template <class Visit, std::size_t... C>
[[gnu::always_inline]] constexpr bool visit_channels(Visit& visit, std::index_sequence<C...>) {
  return (visit(std::integral_constant<std::size_t, C>{}) && ...);
}

// Calls visit(std::integral_constant<std::size_t, C>{}) for each channel index
// C in column order until it returns false; returns whether it never did. The
// channel is a constant expression inside `visit`, so a row loop that calls
// this keeps no table lookups.
template <class Visit>
[[gnu::always_inline]] constexpr bool for_each_channel(Visit&& visit) {
  return visit_channels(visit, std::make_index_sequence<channel_count>{});
}

}  // namespace velnora
