#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "check.hpp"
#include "core/csv/csv_export.hpp"
#include "core/csv/csv_record_writer.hpp"

using namespace velnora;

namespace {

std::string value_text(float value) {
  std::array<char, max_number_chars> text;
  return std::string(text.data(), format_value(value, text));
}

std::string time_text(std::int64_t micros) {
  std::array<char, max_number_chars> text;
  return std::string(text.data(), format_time(micros, text));
}

std::string printf_text(const char* format, double value) {
  char text[400];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// glibc's printf is exact, so it is the reference for every finite value,
// from subnormals to FLT_MAX's 39 integer digits.
void values_match_printf() {
  std::mt19937 bits(7);
  for (int i = 0; i < 2000000; ++i) {
    const auto value = std::bit_cast<float>(static_cast<std::uint32_t>(bits()));
    if (std::isnan(value)) continue;
    check(value_text(value) == printf_text("%.6f", value));
  }
  for (float value : {std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                      std::numeric_limits<float>::denorm_min(), 0.0078125f, -0.0234375f, 3.99609375f}) {
    check(value_text(value) == printf_text("%.6f", value));
  }
}

void times_match_printf() {
  std::mt19937_64 bits(11);
  std::uniform_int_distribution<std::int64_t> recent(1500000000000000, 1900000000000000);
  for (int i = 0; i < 1000000; ++i) {
    const auto micros = static_cast<std::int64_t>(bits());
    check(time_text(micros) == printf_text("%.4f", static_cast<double>(micros) / 1000000.0));
    const std::int64_t near = recent(bits);
    check(time_text(near) == printf_text("%.4f", static_cast<double>(near) / 1000000.0));
  }
  check(time_text(1700000000031250) == "1700000000.0312");
  check(time_text(1700000000010000) == "1700000000.0100");
  check(time_text(std::numeric_limits<std::int64_t>::min()) == "-9223372036854.7754");
}

void special_values() {
  check(value_text(std::numeric_limits<float>::quiet_NaN()) == "NaN");
  check(value_text(-std::numeric_limits<float>::quiet_NaN()) == "NaN");
  check(value_text(std::numeric_limits<float>::infinity()) == "inf");
  check(value_text(-std::numeric_limits<float>::infinity()) == "-inf");
  check(value_text(-0.0f) == "-0.000000");
  check(value_text(-4e-7f) == "-0.000000");
  check(value_text(-6e-7f) == "-0.000001");
}

// The general conversion: the exact binary value rounded to `precision`
// decimals, ties to even, as the texts were made before the integer forms.
std::string general_text(double value, int precision) {
  if (std::isnan(value)) return "NaN";
  char text[400];
  const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, precision);
  return std::string(text, written.ptr);
}

bool value_as_general(float value) { return value_text(value) == general_text(value, 6); }

bool time_as_general(std::int64_t micros) {
  return time_text(micros) == general_text(static_cast<double>(micros) / 1000000.0, 4);
}

// Every exponent and sign with random and extreme significands (subnormals,
// the 2^42 end of the integer form, infinities, NaN); every tie of the sixth
// decimal, an odd multiple of 2^-7, up to 512 and random ones up to 2^17, each
// with its neighbours. VELNORA_ALL_FLOATS=1 adds every bit pattern (minutes).
void values_match_the_general_conversion() {
  std::mt19937 bits(3);
  for (std::uint32_t sign_and_exponent = 0; sign_and_exponent < 512; ++sign_and_exponent) {
    for (std::uint32_t significand : {0u, 1u, 0x400000u, 0x7FFFFFu}) {
      check(value_as_general(std::bit_cast<float>(sign_and_exponent << 23 | significand)));
    }
    for (int i = 0; i < 1000; ++i) {
      check(value_as_general(
          std::bit_cast<float>(sign_and_exponent << 23 | static_cast<std::uint32_t>(bits() & 0x7FFFFF))));
    }
  }
  std::uniform_int_distribution<std::uint32_t> odd_multiple(0, (1u << 23) - 1);
  for (std::uint32_t i = 0; i < 200000; ++i) {
    const float tie = static_cast<float>(2 * (i < 32768 ? i : odd_multiple(bits)) + 1) / 128.0f;
    for (float value : {tie, -tie, std::nextafter(tie, 0.0f), std::nextafter(tie, 1e9f)}) {
      check(value_as_general(value));
    }
  }
  if (std::getenv("VELNORA_ALL_FLOATS") == nullptr) return;
  for (std::uint64_t pattern = 0; pattern <= 0xFFFFFFFF; ++pattern) {
    check(value_as_general(std::bit_cast<float>(static_cast<std::uint32_t>(pattern))));
  }
}

// Every count within 20 ms of ties of the fourth decimal whose quotient is a
// binary fraction (…031250: to even) or not (…010050), of zero and of 2^53,
// where the integer form ends; random ties (…50 µs) near today and anywhere.
void times_match_the_general_conversion() {
  constexpr std::int64_t integer_end = std::int64_t{1} << 53;
  const std::int64_t centres[] = {1700000000031250, -1700000000031250, 1700000000010050, 0,
                                  integer_end,      -integer_end};
  for (const std::int64_t centre : centres) {
    for (std::int64_t micros = centre - 20000; micros <= centre + 20000; ++micros) {
      check(time_as_general(micros));
    }
  }
  std::mt19937_64 bits(5);
  std::uniform_int_distribution<std::int64_t> recent(15000000000000, 19000000000000);
  std::uniform_int_distribution<std::int64_t> any(-92233720368547757, 92233720368547757);
  for (int i = 0; i < 200000; ++i) {
    check(time_as_general(recent(bits) * 100 + 50));
    check(time_as_general(any(bits) * 100 + 50));
    check(time_as_general(31250 * (2 * (recent(bits) / 625) + 1)));
  }
}

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A reading the flags select but the store lacks fails the first row, named
// by the first such reading in column order; a sample channel it lacks is
// written as 0.0.
void missing_channels_of_a_store() {
  char dir[] = "/tmp/velnora-csv-XXXXXX";
  const std::string path = std::string(::mkdtemp(dir)) + "/out.csv";
  const std::int64_t time = 1500000;
  const SampleData sample{0.5f, -1.0f, 0.25f, 0, 0, 0, 1.0f, 0, 0};
  auto store_with = [&](IncludeFlags stored) {
    auto store = CwaDataResult::create(stored, 1);
    check(store->append_block(std::span(&time, 1), std::span(&sample, 1), BlockReadings{25.0f, 1.0f, 3.0f})
              .has_value());
    return std::move(*store);
  };
  const struct {
    IncludeFlags stored;
    std::string_view message;
  } lacking[] = {
      {{.battery = false}, "Battery requested but unavailable"},
      {{.light = false, .battery = false}, "Light requested but unavailable"},
      {{.temperature = false, .battery = false}, "Temperature requested but unavailable"},
  };
  for (const auto& [stored, message] : lacking) {
    check(write_data_result_csv(path, store_with(stored), IncludeFlags{}).error().text() == message);
  }
  check(write_data_result_csv(path, store_with({.magnetometer = false}), IncludeFlags{}).has_value());
  check(file_text(path) ==
        "time,acc_x,acc_y,acc_z,gyro_x,gyro_y,gyro_z,mag_x,mag_y,mag_z,temperature,light,battery\n"
        "1.5000,0.500000,-1.000000,0.250000,0.000000,0.000000,0.000000,0.000000,0.000000,0.000000,"
        "25.000000,1.000000,3.000000\n");
  ::unlink(path.c_str());
  ::rmdir(dir);
}

// A hand-over that fails after a partial write is resumed, not repeated, by
// the next one: a file size limit stops the first, and once it is lifted the
// writer's destructor hands over the rest.
void failed_hand_over_resumes_where_it_stopped() {
  char dir[] = "/tmp/velnora-csv-XXXXXX";
  const std::string path = std::string(::mkdtemp(dir)) + "/out.csv";
  const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit capped = saved;
  capped.rlim_cur = 5000001;  // not a multiple of the record length
  std::string expected;
  {
    auto writer = CsvRecordWriter::create(path);
    ::setrlimit(RLIMIT_FSIZE, &capped);
    for (int i = 0;; ++i) {
      char text[32];
      const int length = std::snprintf(text, sizeof text, "%012d", i);
      const std::string_view field(text, static_cast<std::size_t>(length));
      expected.append(field).append(",").append(field).append("\n");
      CsvFields record;
      record.add_text(field);
      record.add_text(field);
      auto written = writer->write_record(record);
      if (!written) {
        check(written.error().kind() == CwaError::Kind::Message);
        check(written.error().text() == "File too large (os error 27)");
        break;
      }
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
  }
  std::signal(SIGXFSZ, previous_handler);
  check(expected.size() > csv_flush_threshold);
  check(file_text(path) == expected);
  ::unlink(path.c_str());
  ::rmdir(dir);
}

}  // namespace

TEST_SUITE(csv_tests) {
  values_match_printf();
  times_match_printf();
  values_match_the_general_conversion();
  times_match_the_general_conversion();
  special_values();
  missing_channels_of_a_store();
  failed_hand_over_resumes_where_it_stopped();
}
