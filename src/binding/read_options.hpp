// Made by tools/read-options from read_options.toml: edit the table, not this file.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/format/channels.hpp"

namespace velnora::py {

// Each option's slot among the options, in parameter order.
namespace read_option {
enum : std::size_t {
  cut,
  include_magnetometer,
  include_temperature,
  include_light,
  include_battery,
  resample_hz,
  resample_method,
  count
};
}  // namespace read_option

// The options' names, by slot.
#define VELNORA_READ_OPTION_NAMES \
  "cut", \
  "include_magnetometer", \
  "include_temperature", \
  "include_light", \
  "include_battery", \
  "resample_hz", \
  "resample_method"
inline constexpr const char* read_option_names[] = {VELNORA_READ_OPTION_NAMES};

// The options with their defaults, as a read's and an export's text signatures list them.
#define VELNORA_READ_OPTIONS_TEXT \
  "cut=None, " \
  "include_magnetometer=True, " \
  "include_temperature=True, " \
  "include_light=True, " \
  "include_battery=True, " \
  "resample_hz=None, " \
  "resample_method=\"cubic\""
#define VELNORA_EXPORT_OPTIONS_TEXT \
  "cut=None, " \
  "include_magnetometer=True, " \
  "include_temperature=False, " \
  "include_light=False, " \
  "include_battery=False, " \
  "resample_hz=None, " \
  "resample_method=\"cubic\""

// The flags' slots and the channels they select.
struct FlagOption {
  std::size_t slot;
  bool IncludeFlags::*member;
};
inline constexpr FlagOption flag_options[] = {
    {read_option::include_magnetometer, &IncludeFlags::magnetometer},
    {read_option::include_temperature, &IncludeFlags::temperature},
    {read_option::include_light, &IncludeFlags::light},
    {read_option::include_battery, &IncludeFlags::battery},
};

// What a read and an export take for a left-out option.
inline constexpr IncludeFlags read_defaults =
    IncludeFlags{.magnetometer = true, .temperature = true, .light = true, .battery = true};
inline constexpr IncludeFlags export_defaults =
    IncludeFlags{.magnetometer = true, .temperature = false, .light = false, .battery = false};
inline constexpr std::string_view default_resample_method = "cubic";

}  // namespace velnora::py
