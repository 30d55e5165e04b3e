#include "core/activity/window_median.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace velnora {

namespace {

// A float's bits as an integer that orders as they do: negatives' magnitude
// bits flipped, so that -0 comes before +0 and each NaN at its sign's end.
std::int32_t order_key(float value) {
  const auto bits = std::bit_cast<std::int32_t>(value);
  return bits ^ ((bits >> 31) & 0x7FFFFFFF);
}

bool ranks_before(float a, float b) { return order_key(a) < order_key(b); }

float middle_mean(float lower, float upper) {
  return static_cast<float>((static_cast<double>(lower) + upper) / 2.0);
}

// Words of the bit levels over 2^23 keys: 2^17, 2^11, 2^5 and 1.
constexpr std::array<std::size_t, 4> level_words{std::size_t{1} << 17, std::size_t{1} << 11, 32, 1};
// The coarsest step keys are counted in: readings of the finest code are
// multiples of 2^-8 g, 2^7 keys.
constexpr int coarsest_step = 7;

}  // namespace

void SortedWindow::insert(float value) {
  values_.insert(std::upper_bound(values_.begin(), values_.end(), value, ranks_before), value);
}

void SortedWindow::erase(float value) {
  values_.erase(std::lower_bound(values_.begin(), values_.end(), value, ranks_before));
}

void SortedWindow::replace(float leaving, float entering) {
  const auto at = std::lower_bound(values_.begin(), values_.end(), leaving, ranks_before);
  // Slide the values ranked between the two over the leaving one's place.
  if (ranks_before(leaving, entering)) {
    const auto end = std::upper_bound(at + 1, values_.end(), entering, ranks_before);
    std::move(at + 1, end, at);
    *(end - 1) = entering;
  } else {
    const auto begin = std::upper_bound(values_.begin(), at, entering, ranks_before);
    std::move_backward(begin, at, at + 1);
    *begin = entering;
  }
}

float SortedWindow::median() const {
  const std::size_t n = values_.size();
  return n % 2 == 1 ? values_[n / 2] : middle_mean(values_[n / 2 - 1], values_[n / 2]);
}

std::optional<CountedWindow> CountedWindow::reserve(std::size_t capacity) {
  if (capacity > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
  std::size_t words = 0;
  for (const std::size_t n : level_words) words += n;
  auto memory = MappedBuffer::reserve(key_count * sizeof(std::uint16_t) + words * sizeof(std::uint64_t));
  if (!memory) return std::nullopt;
  return CountedWindow(std::move(*memory), capacity);
}

CountedWindow::CountedWindow(MappedBuffer memory, std::size_t capacity)
    : memory_(std::move(memory)),
      counts_(reinterpret_cast<std::uint16_t*>(memory_.data())),
      step_(coarsest_step),
      order_(std::bit_ceil(std::max<std::size_t>(capacity, 1))) {
  auto* words = reinterpret_cast<std::uint64_t*>(counts_ + key_count);
  for (std::size_t level = 0; level < levels; ++level) {
    bits_[level] = words;
    words += level_words[level];
  }
}

float CountedWindow::value_at(std::uint32_t index) const {
  return static_cast<float>(static_cast<std::int32_t>((index << step_) - key_offset)) / key_scale;
}

inline void CountedWindow::count(std::uint32_t index, std::uint16_t n) {
  const std::uint16_t before = counts_[index];
  counts_[index] = static_cast<std::uint16_t>(before + n);
  if (before > 0) return;
  for (std::size_t level = 0; level < levels; ++level, index >>= 6) {
    const std::uint64_t word = bits_[level][index >> 6];
    bits_[level][index >> 6] = word | (std::uint64_t{1} << (index & 63));
    if (word != 0) return;
  }
}

inline void CountedWindow::uncount(std::uint32_t index, std::uint16_t n) {
  if ((counts_[index] -= n) > 0) return;
  for (std::size_t level = 0; level < levels; ++level, index >>= 6) {
    if ((bits_[level][index >> 6] &= ~(std::uint64_t{1} << (index & 63))) != 0) return;
  }
}

// Up the levels until a word holds a bit on that side, then down along the nearest bits.
inline std::uint32_t CountedWindow::next_held(std::uint32_t from) const {
  std::size_t level = 0;
  std::uint64_t word = bits_[0][from >> 6] & (~std::uint64_t{0} << (from & 63));
  while (word == 0) {
    from = (from >> 6) + 1;
    ++level;
    word = bits_[level][from >> 6] & (~std::uint64_t{0} << (from & 63));
  }
  auto at = (from & ~63u) | static_cast<std::uint32_t>(std::countr_zero(word));
  while (level-- > 0) at = at << 6 | static_cast<std::uint32_t>(std::countr_zero(bits_[level][at]));
  return at;
}

inline std::uint32_t CountedWindow::previous_held(std::uint32_t from) const {
  std::size_t level = 0;
  std::uint64_t word = bits_[0][from >> 6] & (~std::uint64_t{0} >> (63 - (from & 63)));
  while (word == 0) {
    from = (from >> 6) - 1;
    ++level;
    word = bits_[level][from >> 6] & (~std::uint64_t{0} >> (63 - (from & 63)));
  }
  auto at = (from & ~63u) | static_cast<std::uint32_t>(63 - std::countl_zero(word));
  while (level-- > 0) at = at << 6 | static_cast<std::uint32_t>(63 - std::countl_zero(bits_[level][at]));
  return at;
}

// `median` and `below` are the caller's locals, kept in registers over a
// slide: members would be stored and loaded again around every store to the bits.
inline void CountedWindow::settle(std::uint32_t& median, std::size_t& below, std::size_t rank) const {
  while (rank < below) {
    median = previous_held(median - 1);
    below -= counts_[median];
  }
  while (rank >= below + counts_[median]) {
    below += counts_[median];
    median = next_held(median + 1);
  }
}

void CountedWindow::push(std::uint32_t key) {
  if ((key & ((1u << step_) - 1)) != 0) refine(std::countr_zero(key));
  order_[(oldest_ + size_) & (order_.size() - 1)] = key;
  const std::uint32_t index = key >> step_;
  if (size_++ == 0) {
    median_ = index;
    below_ = 0;
  } else if (index < median_) {
    ++below_;
  }
  count(index);
  settle(median_, below_, (size_ - 1) / 2);
}

void CountedWindow::pop() {
  const std::uint32_t index = order_[oldest_] >> step_;
  oldest_ = (oldest_ + 1) & (order_.size() - 1);
  --size_;
  if (index < median_) --below_;
  uncount(index);
  if (size_ > 0) settle(median_, below_, (size_ - 1) / 2);
}

CountedWindow::Keys CountedWindow::keys_of(std::span<const Axes> samples, std::span<AxisKeys> keys) {
  // The axes' values in a row, four at a time, the last four padded with zeros.
  const std::size_t n = 3 * samples.size();
  const auto* values = reinterpret_cast<const float*>(samples.data());
  auto* out = reinterpret_cast<std::uint32_t*>(keys.data());
  Words on_grid = ~Words{};
  Words bits{};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Floats four;
    std::memcpy(&four, values + i, sizeof four);
    Words on;
    const Words key = keys_of(four, on);
    on_grid &= on;
    bits |= key & on;
    std::memcpy(out + i, &key, sizeof key);
  }
  if (i < n) {
    Floats four{};
    for (std::size_t k = i; k < n; ++k) four[k - i] = values[k];
    Words on;
    const Words key = keys_of(four, on);
    on_grid &= on;
    bits |= key & on;
    for (std::size_t k = i; k < n; ++k) out[k] = key[k - i];
  }
  return {(on_grid[0] & on_grid[1] & on_grid[2] & on_grid[3]) != 0, bits[0] | bits[1] | bits[2] | bits[3]};
}

void CountedWindow::slide(std::span<const AxisKeys> keys, std::span<Axes> medians, std::size_t axis) {
  // Locals all: the stores to the bits could otherwise alias the members.
  const int step = step_;
  const std::size_t size = size_;
  const std::size_t rank = (size - 1) / 2;
  const std::size_t mask = order_.size() - 1;
  std::uint32_t* const order = order_.data();
  std::size_t oldest = oldest_;
  std::uint32_t median = median_;
  std::size_t below = below_;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::uint32_t out = order[oldest] >> step;
    const std::uint32_t in = keys[i][axis] >> step;
    order[(oldest + size) & mask] = keys[i][axis];
    oldest = (oldest + 1) & mask;
    uncount(out);
    count(in);
    below = below + (in < median ? 1 : 0) - (out < median ? 1 : 0);
    settle(median, below, rank);
    medians[i][axis] = value_at(median);  // of an odd count: one value
  }
  oldest_ = oldest;
  median_ = median;
  below_ = below;
}

template <class Take>
void CountedWindow::drain(Take take) {
  for (std::uint32_t index = size_ > 0 ? next_held(0) : 0; size_ > 0;) {
    const std::uint16_t n = counts_[index];
    for (std::uint16_t k = 0; k < n; ++k) take(value_at(index));
    size_ -= n;
    uncount(index, n);
    if (size_ > 0) index = next_held(index + 1);
  }
  oldest_ = 0;
}

void CountedWindow::drain_into(SortedWindow& sorted) {
  drain([&](float value) { sorted.insert(value); });
}

void CountedWindow::clear() {
  drain([](float) {});
}

float CountedWindow::median() const {
  const float lower = value_at(median_);
  if (size_ % 2 == 1) return lower;
  // Rank (size - 1) / 2 + 1 lies at the median's index or the next held.
  const bool same = (size_ - 1) / 2 + 1 < below_ + counts_[median_];
  return middle_mean(lower, same ? lower : value_at(next_held(median_ + 1)));
}

void CountedWindow::refine(int step) {
  const int finer = step_ - step;
  // From the highest index down, each moves up to its finer index, past
  // every index still to move.
  std::uint32_t index = size_ > 0 ? previous_held(static_cast<std::uint32_t>(key_count - 1) >> step_) : 0;
  for (std::size_t moved = 0; moved < size_;) {
    const std::uint16_t n = counts_[index];
    uncount(index, n);
    count(index << finer, n);
    moved += n;
    if (moved < size_) index = previous_held(index - 1);
  }
  median_ <<= finer;
  step_ = step;
}

}  // namespace velnora
