#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/io/sector_reader.hpp"

using namespace velnora;

namespace {

constexpr std::size_t buffer_bytes = SectorReader::buffer_sectors * sector_size;

// Byte i of the stream; differs between sectors and within one.
std::byte pattern(std::size_t i) { return static_cast<std::byte>(i * 7 + i / sector_size); }

std::vector<std::byte> stream(std::size_t bytes) {
  std::vector<std::byte> data(bytes);
  for (std::size_t i = 0; i < bytes; ++i) data[i] = pattern(i);
  return data;
}

std::string temp_dir() {
  char name[] = "/tmp/velnora-sectors-XXXXXX";
  return ::mkdtemp(name);
}

std::string write_file(const std::string& dir, std::size_t bytes) {
  const std::string path = dir + "/data";
  const auto data = stream(bytes);
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!data.empty()) std::fwrite(data.data(), 1, data.size(), out);
  std::fclose(out);
  return path;
}

SectorReader reader_of(const std::string& path) { return SectorReader(std::move(*File::open_read(path))); }

bool holds(Sector sector, std::size_t index) {
  for (std::size_t i = 0; i < sector_size; ++i) {
    if (sector[i] != pattern(index * sector_size + i)) return false;
  }
  return true;
}

// Serves every whole sector in order and returns how many, then the text of
// what ended the run ("" for the clean end).
std::pair<std::size_t, std::string> drain(SectorReader& reader) {
  std::size_t served = 0;
  bool intact = true;
  for (;;) {
    auto sector = reader.next();
    if (!sector) return {served, sector.error().text()};
    if (!*sector) break;
    intact = intact && holds(**sector, served);
    ++served;
  }
  check(intact);
  return {served, ""};
}

// Lengths around the buffer size: the end of the data may fall on, just
// before or just after a refill, with or without a partial sector.
void ends_at_every_position() {
  const std::string dir = temp_dir();
  const std::size_t whole_sectors[] = {0,
                                       1,
                                       SectorReader::buffer_sectors - 1,
                                       SectorReader::buffer_sectors,
                                       SectorReader::buffer_sectors + 1,
                                       2 * SectorReader::buffer_sectors};
  for (const std::size_t sectors : whole_sectors) {
    for (const std::size_t extra : {0, 1, 100, 511}) {
      auto reader = reader_of(write_file(dir, sectors * sector_size + extra));
      const auto [served, ended] = drain(reader);
      check(served == sectors);
      check(ended == (extra == 0 ? "" : "IO error: failed to fill whole buffer"));
      // Whatever ended the run, the file is now at its end.
      auto after = reader.next();
      check(after.has_value() && !after->has_value());
    }
  }
  std::filesystem::remove_all(dir);
}

// A pipe hands out what the writer has written so far, so reads come back
// short and a sector is assembled from several of them. The reader opens the
// FIFO without waiting for a writer, so the writer's end is opened first
// (while a placeholder reader holds the FIFO open).
void short_reads_assemble_sectors() {
  const std::string dir = temp_dir();
  const std::string path = dir + "/fifo";
  check(::mkfifo(path.c_str(), 0600) == 0);
  const std::size_t bytes = 3 * buffer_bytes + 100;
  const int placeholder = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  const int write_end = ::open(path.c_str(), O_WRONLY);
  check(placeholder >= 0 && write_end >= 0);
  auto reader = reader_of(path);
  ::close(placeholder);
  std::thread writer([&] {
    const auto data = stream(bytes);
    std::FILE* out = ::fdopen(write_end, "wb");
    std::setvbuf(out, nullptr, _IONBF, 0);
    for (std::size_t at = 0; at < bytes; at += 333) {
      std::fwrite(data.data() + at, 1, std::min<std::size_t>(333, bytes - at), out);
      if (at % (333 * 64) == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    std::fclose(out);
  });
  const auto [served, ended] = drain(reader);
  writer.join();
  check(served == 3 * SectorReader::buffer_sectors);
  check(ended == "IO error: failed to fill whole buffer");
  check(reader.seek(0).error().text() == "IO error: Illegal seek (os error 29)");
  std::filesystem::remove_all(dir);
}

void seeking_drops_the_buffer() {
  const std::string dir = temp_dir();
  const std::size_t sectors = SectorReader::buffer_sectors + 10;
  auto reader = reader_of(write_file(dir, sectors * sector_size));
  check(reader.next().has_value());
  // Block position i lies 1024 bytes, two sectors, into the file.
  check(reader.seek_block(5).has_value());
  auto sector = reader.next();
  check(sector && *sector && holds(**sector, 7));
  check(reader.seek_block(sectors - 2).has_value());
  check(drain(reader) == std::pair<std::size_t, std::string>{0, ""});
  check(reader.seek(sector_size * 3).has_value());
  sector = reader.next();
  check(sector && *sector && holds(**sector, 3));
  std::filesystem::remove_all(dir);
}

void read_errors_come_with_the_sector() {
  auto reader = reader_of("/");
  auto sector = reader.next();
  check(!sector && sector.error().text() == "IO error: Is a directory (os error 21)");
}

}  // namespace

TEST_SUITE(sector_reader_tests) {
  ends_at_every_position();
  short_reads_assemble_sectors();
  seeking_drops_the_buffer();
  read_errors_come_with_the_sector();
}
