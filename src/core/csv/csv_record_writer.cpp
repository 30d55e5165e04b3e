#include "core/csv/csv_record_writer.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "core/base/numeric.hpp"

namespace velnora {

namespace {

// std::to_chars in fixed notation rounds the exact binary value, ties to even,
// so its digits are those of printf's "%.*f"; a negative value that rounds to
// zero keeps its sign there too. The integer forms below give the same digits
// for the values a recording holds and leave the rest to it.
std::size_t format_fixed(double value, int precision, std::span<char, max_number_chars> out) {
  if (std::isnan(value)) [[unlikely]] {
    // to_chars writes "nan" or "-nan"; the file's spelling has no sign.
    std::memcpy(out.data(), "NaN", 3);
    return 3;
  }
  const auto written =
      std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, precision);
  return static_cast<std::size_t>(written.ptr - out.data());
}

// "00" to "99": digits are made a pair per division.
constexpr std::array<char, 200> digit_pairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

constexpr std::array<std::uint64_t, 20> powers_of_ten = [] {
  std::array<std::uint64_t, 20> powers{};
  std::uint64_t power = 1;
  for (std::uint64_t& p : powers) {
    p = power;
    power *= 10;
  }
  return powers;
}();

// Digits of `value` without leading zeros, at least one.
std::size_t decimal_length(std::uint64_t value) {
  // floor(bit_width · log10 2), by 1233 / 4096, is the length or one less; a
  // comparison tells which. Zero is counted as one, of the same length.
  const std::uint64_t nonzero = value | 1;
  const auto guess = static_cast<std::size_t>((std::bit_width(nonzero) * 1233) >> 12);
  return guess + 1 - (nonzero < powers_of_ten[guess]);
}

void put_pair(char* out, std::uint64_t pair) { std::memcpy(out, &digit_pairs[2 * pair], 2); }

// Writes `value` in decimal without leading zeros; returns the end.
char* put_integer(char* out, std::uint64_t value) {
  char* const end = out + decimal_length(value);
  char* at = end;
  while (value >= 100) {
    at -= 2;
    put_pair(at, value % 100);
    value /= 100;
  }
  if (value >= 10) {
    put_pair(at - 2, value);
  } else {
    at[-1] = static_cast<char>('0' + value);
  }
  return end;
}

// Writes `units` (a count of 10^-fraction_digits) as "integer.fraction";
// returns the text's length.
template <std::size_t fraction_digits>
std::size_t put_fixed(bool negative, std::uint64_t units, std::span<char, max_number_chars> out) {
  constexpr std::uint64_t scale = powers_of_ten[fraction_digits];
  char* at = out.data();
  *at = '-';
  at += negative;
  at = put_integer(at, units / scale);
  *at++ = '.';
  std::uint64_t fraction = units % scale;
  for (std::size_t i = fraction_digits; i > 0; i -= 2) {
    put_pair(at + i - 2, fraction % 100);
    fraction /= 100;
  }
  return static_cast<std::size_t>(at + fraction_digits - out.data());
}

// Below 2^53 µs a count is exact as a double, and its quotient by 10^6 lies
// within 2^-20 s of the decimal value, nearer than the 10^-6 s that part the
// value from any tie of the fourth decimal it is not on: both round alike,
// except on a tie itself.
constexpr std::uint64_t max_integer_us = std::uint64_t{1} << 53;

// Micros rounded to 10^-4 s as to_chars rounds micros / 10^6 in double
// precision. On a tie of the decimal the quotient lies beside it, or on it
// when it is a binary fraction (then ties go to even): the sign of the fused
// quotient · 10^6 - micros, rounded once, says which.
std::uint64_t rounded_ten_thousandths(std::uint64_t micros) {
  const std::uint64_t whole = micros / 100;
  const std::uint64_t rest = micros % 100;
  if (rest != 50) return whole + (rest > 50);
  const double quotient = seconds_from_us(static_cast<std::int64_t>(micros));
  const double beside = std::fma(quotient, static_cast<double>(us_per_second), -static_cast<double>(micros));
  return whole + (beside > 0 || (beside == 0 && (whole & 1) != 0));
}

// A float is m · 2^e exactly with m < 2^24; below 2^42 its value in units of
// 10^-6 · 2^-19, m · 10^6 · 2^(e + 19), is a product under 2^44 shifted left
// by 19 bits, under 2^63, and a shift right of at least one bit rounds it.
constexpr int max_integer_exponent = 18;

// |value| · 10^6 rounded to an integer, ties to even, as to_chars rounds the
// exact binary value; nothing for 2^42 and beyond, infinities and NaN. One
// path for every exponent, without branches on the value's bits.
std::optional<std::uint64_t> rounded_millionths(std::uint32_t bits) {
  const std::uint32_t biased = (bits >> 23) & 0xFF;
  const std::uint64_t fraction = bits & 0x7FFFFF;
  const std::uint64_t significand = biased == 0 ? fraction : fraction | 0x800000;
  const int exponent = static_cast<int>(biased == 0 ? 1 : biased) - 150;
  if (exponent > max_integer_exponent) return std::nullopt;
  const std::uint64_t scaled = (significand * 1000000) << (max_integer_exponent + 1);
  const int shift = max_integer_exponent + 1 - exponent;
  // `scaled` is below 2^63: a shift of 64 or more leaves less than a half.
  if (shift >= 64) return 0;
  const std::uint64_t whole = scaled >> shift;
  const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
  const std::uint64_t half = std::uint64_t{1} << (shift - 1);
  return whole + ((rest > half) | ((rest == half) & whole & 1));
}

}  // namespace

std::size_t format_time(std::int64_t micros, std::span<char, max_number_chars> out) {
  const bool negative = micros < 0;
  const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(micros) : micros;
  if (magnitude > max_integer_us) [[unlikely]] {
    return format_fixed(seconds_from_us(micros), 4, out);
  }
  return put_fixed<4>(negative, rounded_ten_thousandths(magnitude), out);
}

std::size_t format_value(float value, std::span<char, max_number_chars> out) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  // Zeros fill most columns of a recording without gyroscope or magnetometer.
  // Nine bytes are copied for either sign, a copy of fixed size that every
  // compiler inlines; the terminating NUL of "0.000000" lies past its length.
  if ((bits << 1) == 0) {
    const bool negative = bits != 0;
    std::memcpy(out.data(), negative ? "-0.000000" : "0.000000", 9);
    return 8 + negative;
  }
  const std::optional<std::uint64_t> millionths = rounded_millionths(bits);
  if (!millionths) [[unlikely]] {
    return format_fixed(static_cast<double>(value), 6, out);
  }
  return put_fixed<6>((bits >> 31) != 0, *millionths, out);
}

Result<CsvRecordWriter> CsvRecordWriter::create(std::string_view path) {
  auto file = File::create_write(path);
  if (!file) return fail(std::move(file.error()));
  return CsvRecordWriter(std::move(*file));
}

CsvRecordWriter::CsvRecordWriter(CsvRecordWriter&& other) noexcept
    : file_(std::move(other.file_)),
      buffer_(std::move(other.buffer_)),
      size_(std::exchange(other.size_, 0)),
      handed_(std::exchange(other.handed_, 0)),
      file_bytes_(std::exchange(other.file_bytes_, 0)) {}

CsvRecordWriter::~CsvRecordWriter() { (void)hand_over(); }

Result<void> CsvRecordWriter::write_record(const CsvFields& record) {
  if (!buffer_) [[unlikely]] {
    buffer_.reset(new (std::nothrow) char[buffer_bytes]);
    if (!buffer_) return fail(CwaError::io_errno(ENOMEM));
  }
  // The buffer is handed over once it holds a threshold, so a record fits,
  // unless a hand-over failed and the caller writes on: that one is retried.
  if (buffer_bytes - size_ < max_csv_record_bytes) [[unlikely]] {
    if (auto handed = hand_over(); !handed) return fail(handed.error().detail());
  }
  // The last field's comma becomes the line feed; a record without fields
  // writes nothing.
  const std::string_view text = record.text();
  if (text.empty()) [[unlikely]] {
    return {};
  }
  char* const start = buffer_.get() + size_;
  std::memcpy(start, text.data(), text.size());
  start[text.size() - 1] = '\n';
  size_ += text.size();
  if (size_ - handed_ < csv_flush_threshold) return {};
  // A record that cannot be handed over reports the system's text without the
  // I/O prefix; only the final flush reports it as an I/O error.
  if (auto handed = hand_over(); !handed) return fail(handed.error().detail());
  return {};
}

Result<void> CsvRecordWriter::flush() { return hand_over(); }

Result<void> CsvRecordWriter::hand_over() {
  while (handed_ < size_) {
    auto put = file_.write_some(std::as_bytes(std::span(buffer_.get() + handed_, size_ - handed_)));
    if (put && *put == 0) put = fail(CwaError::io_text("failed to write the buffered data"));
    if (!put) {
      cut_back_to_last_record();
      return fail(std::move(put.error()));
    }
    handed_ += *put;
  }
  file_bytes_ += size_;
  size_ = 0;
  handed_ = 0;
  return {};
}

// A write that fails halfway (a full disk, a file-size limit) leaves part of
// a record in the file, which a CSV reader would take for a short row. The
// file is cut back to the last line feed it holds, and a later hand-over
// resumes from there. A FIFO or pipe cannot be cut: its reader may get a
// last line without its line feed.
void CsvRecordWriter::cut_back_to_last_record() {
  const std::string_view handed(buffer_.get(), handed_);
  const std::size_t complete = handed.rfind('\n') + 1;  // 0 when there is none
  if (complete == handed_) return;
  if (file_.truncate(file_bytes_ + complete)) handed_ = complete;
}

}  // namespace velnora
