#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/base/helper_thread.hpp"
#include "core/read/decoded_block_stream.hpp"
#include "core/resample/resampled_read.hpp"
#include "core/resample/split_run.hpp"
#include "core/resample/streaming_resampler.hpp"

using namespace velnora;

namespace {

constexpr IncludeFlags only_channels{
    .magnetometer = false, .temperature = false, .light = false, .battery = false};
constexpr double rate_hz = 30.0;
constexpr int blocks = 301;
// Where the split puts the context block: the middle of the blocks after the
// first, which the lead takes before the range is split.
constexpr int context_block = 1 + (blocks - 1) / 2;

void put_u16(std::vector<unsigned char>& bytes, std::size_t at, unsigned value) {
  bytes[at] = static_cast<unsigned char>(value);
  bytes[at + 1] = static_cast<unsigned char>(value >> 8);
}

void put_u32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) {
  put_u16(bytes, at, value & 0xFFFF);
  put_u16(bytes, at + 2, value >> 16);
}

// One-second blocks of 50 3-axis samples at 50 Hz from 2020-01-01 00:00:00,
// each sample distinct; from the context block on, the blocks are stamped
// `jump_back` seconds earlier.
std::string write_recording(const char* name, int jump_back) {
  std::vector<unsigned char> bytes(1024 + 512 * blocks);
  bytes[0] = 'M';
  bytes[1] = 'D';
  for (int b = 0; b < blocks; ++b) {
    const std::size_t at = 1024 + 512 * static_cast<std::size_t>(b);
    bytes[at] = 'A';
    bytes[at + 1] = 'X';
    put_u16(bytes, at + 2, 508);
    const int second = b - (b >= context_block ? jump_back : 0) + 3600;
    const std::uint32_t day = 20u << 26 | 1u << 22 | 1u << 17;
    put_u32(bytes, at + 14, day | (second / 3600) << 12 | (second / 60 % 60) << 6 | (second % 60));
    bytes[at + 24] = 0x49;  // 50 Hz
    bytes[at + 25] = 0x32;  // three 16-bit axes
    put_u16(bytes, at + 28, 50);
    for (int i = 0; i < 50; ++i) {
      const int n = 50 * b + i;
      for (int axis = 0; axis < 3; ++axis)
        put_u16(bytes, at + 30 + 6 * i + 2 * axis, static_cast<unsigned>((n * (37 + axis) % 4001) - 2000));
    }
  }
  char dir[] = "/tmp/velnora-split-XXXXXX";
  const std::string path = std::string(::mkdtemp(dir)) + "/" + name;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fclose(out);
  return path;
}

// The whole recording resampled by a lead that splits a rest of any length
// as a rest of 4096 blocks is split. Whether the split ran, and how it ended.
RestRead split_read(const std::string& path, CwaDataResult& rows) {
  auto stream = DecodedBlockStream::open(path, std::nullopt, std::nullopt, false);
  auto first = stream->next();
  auto lead = StreamingResampler::create(std::nullopt, std::nullopt, rate_hz, only_channels, 64 * blocks);
  check(lead->append_block((*first)->timestamps, (*first)->samples, (*first)->readings).has_value());
  auto rest = resample_rest(path, *stream, *lead, false, nullptr, 1);
  check(rest.has_value());
  rows = std::move(*std::move(*lead).take_output());
  return *rest;
}

// Bit for bit the rows of one thread, which a range this short keeps to.
bool same_rows(const CwaDataResult& split, const CwaDataResult& alone) {
  if (split.size() != alone.size() || split.size() < 6000) return false;
  bool same = std::memcmp(split.timestamp.data(), alone.timestamp.data(), alone.size() * 8) == 0;
  for (const std::size_t channel : {channel_index("acc_x"), channel_index("acc_y"), channel_index("acc_z")}) {
    const auto& a = *split.columns[channel];
    const auto& b = *alone.columns[channel];
    same = same && std::memcmp(a.data(), b.data(), alone.size() * 4) == 0;
  }
  return same;
}

// Where the halves meet the follower's rows are taken; where the later half
// jumps back, the follower starts on rows the lead writes first, and the
// lead reads on alone over them. The rows are those of one thread either way.
void halves_meet_or_the_lead_reads_alone() {
  if (!helper_thread_allowed()) {
    std::fputs("split_run_tests: one processor or VELNORA_THREADS=1, nothing is split\n", stderr);
    return;
  }
  for (const int jump_back : {0, 40}) {
    const std::string path = write_recording(jump_back ? "jump.cwa" : "steady.cwa", jump_back);
    CwaDataResult split;
    check_eq(static_cast<int>(split_read(path, split)),
             static_cast<int>(jump_back ? RestRead::rows_refused : RestRead::rows_adopted));
    auto alone = read_cwa_data_resampled_streaming(path, std::nullopt, std::nullopt, rate_hz, only_channels,
                                                   std::nullopt, std::nullopt);
    check(alone.has_value() && same_rows(split, *alone));
  }
}

}  // namespace

TEST_SUITE(split_run_tests) { halves_meet_or_the_lead_reads_alone(); }
