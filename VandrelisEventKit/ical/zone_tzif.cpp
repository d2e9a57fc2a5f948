// Transition tables from TZif files, the system database's format: the 64-bit data of version
// 2 and later, the 32-bit data of version 1, and the closing POSIX rule for later times.
#include "ical/zone_tzif.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include "ical/zone_math.h"
#include "ical/zone_posix.h"

namespace vandrelis::store {
namespace {

using namespace zone_math;

// Larger than any real TZif file (the biggest are a few kilobytes).
constexpr std::size_t kMaxTzifBytes = 1 << 20;

class TableZone final : public TimeZone {
 public:
  TableZone(std::int32_t initial, const std::vector<Transition>& transitions,
            std::optional<PosixRule> footer)
      : initial_(initial), footer_(std::move(footer)) {
    at_.reserve(transitions.size());
    keys_.reserve(transitions.size());
    after_.reserve(transitions.size());
    std::int64_t key = INT64_MIN;
    for (const Transition& t : transitions) {
      at_.push_back(t.at);
      after_.push_back(t.after);
      // Kept ascending for the search even where two close transitions overlap.
      key = std::max(key, wallKey(t));
      keys_.push_back(key);
    }
  }

  std::int32_t offsetAt(std::int64_t utcSeconds) const override {
    auto it = std::upper_bound(at_.begin(), at_.end(), utcSeconds);
    if (it == at_.begin()) return initial_;
    if (it == at_.end() && footer_) return posixOffsetAt(*footer_, utcSeconds);
    return after_[static_cast<std::size_t>(it - at_.begin() - 1)];
  }

  std::int64_t toInstant(const CivilTime& wall) const override {
    std::int64_t w = civilSeconds(wall);
    auto it = std::upper_bound(keys_.begin(), keys_.end(), w);
    if (it == keys_.begin()) return w - initial_;
    if (it == keys_.end() && footer_) return posixToInstant(*footer_, wall);
    return w - after_[static_cast<std::size_t>(it - keys_.begin() - 1)];
  }

 private:
  std::int32_t initial_;
  std::vector<std::int64_t> at_, keys_;
  std::vector<std::int32_t> after_;
  std::optional<PosixRule> footer_;
};

class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}
  bool has(std::size_t n) const { return bytes_.size() - pos_ >= n; }
  std::string_view rest() const { return bytes_.substr(pos_); }
  void skip(std::size_t n) { pos_ += n; }
  std::uint8_t u8() { return static_cast<std::uint8_t>(bytes_[pos_++]); }
  std::uint64_t big(int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | u8();
    return v;
  }
  std::int64_t signedBig(int n) {
    std::uint64_t v = big(n);
    if (n == 4) return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return static_cast<std::int64_t>(v);
  }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

struct TzifCounts {
  std::uint64_t isUt, isStd, leap, time, type, chars;
};

std::optional<TzifCounts> tzifHeader(ByteReader& in, char* version) {
  if (!in.has(44) || in.rest().substr(0, 4) != "TZif") return std::nullopt;
  in.skip(4);
  *version = static_cast<char>(in.u8());
  in.skip(15);
  TzifCounts c{in.big(4), in.big(4), in.big(4), in.big(4), in.big(4), in.big(4)};
  if (c.type == 0 || c.type > 256 || c.chars == 0) return std::nullopt;
  return c;
}

}  // namespace

std::shared_ptr<const TimeZone> parseTzif(std::string_view bytes) {
  ByteReader in(bytes);
  char version = 0;
  std::optional<TzifCounts> c = tzifHeader(in, &version);
  if (!c) return nullptr;
  int timeSize = 4;
  if (version >= '2') {
    // The 64-bit data follows the 32-bit block, which only older readers need.
    std::uint64_t v1 = c->time * 5 + c->type * 6 + c->chars + c->leap * 8 + c->isStd + c->isUt;
    if (!in.has(v1)) return nullptr;
    in.skip(v1);
    char again = 0;
    c = tzifHeader(in, &again);
    if (!c) return nullptr;
    timeSize = 8;
  }
  const std::uint64_t size = c->time * (static_cast<std::uint64_t>(timeSize) + 1) + c->type * 6 +
                             c->chars + c->leap * (static_cast<std::uint64_t>(timeSize) + 4) +
                             c->isStd + c->isUt;
  if (!in.has(size)) return nullptr;

  std::vector<std::int64_t> times(c->time);
  for (auto& t : times) t = in.signedBig(timeSize);
  std::vector<std::uint8_t> indices(c->time);
  for (auto& i : indices) i = in.u8();
  struct Type {
    std::int32_t offset;
    bool isDst;
  };
  std::vector<Type> types(c->type);
  for (auto& type : types) {
    std::int64_t offset = in.signedBig(4);
    if (offset <= -kMaxOffset || offset >= kMaxOffset) return nullptr;
    type.offset = static_cast<std::int32_t>(offset);
    type.isDst = in.u8() != 0;
    in.skip(1);  // abbreviation index
  }
  // Abbreviations, leap seconds and the standard/UT indicators do not change offsets.
  in.skip(c->chars + c->leap * (static_cast<std::uint64_t>(timeSize) + 4) + c->isStd + c->isUt);

  // Before the first transition: the first standard-time type, as the C library takes it.
  std::int32_t initial = types.front().offset;
  for (const Type& type : types) {
    if (!type.isDst) {
      initial = type.offset;
      break;
    }
  }
  std::vector<Transition> transitions;
  transitions.reserve(times.size());
  std::int32_t previous = initial;
  for (std::size_t i = 0; i < times.size(); ++i) {
    if (indices[i] >= types.size() || (i > 0 && times[i] <= times[i - 1])) return nullptr;
    std::int32_t offset = types[indices[i]].offset;
    transitions.push_back({times[i], previous, offset});
    previous = offset;
  }

  std::optional<PosixRule> footer;
  if (timeSize == 8 && in.has(1) && in.rest()[0] == '\n') {
    std::string_view rest = in.rest().substr(1);
    std::size_t end = rest.find('\n');
    if (end != std::string_view::npos && end > 0) footer = parsePosixRule(rest.substr(0, end));
  }
  return std::make_shared<TableZone>(initial, transitions, std::move(footer));
}

std::shared_ptr<const TimeZone> readTzifFile(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uint64_t>(info.st_size) > kMaxTzifBytes) {
    return nullptr;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return nullptr;
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() > kMaxTzifBytes) return nullptr;
  return parseTzif(bytes);
}

}  // namespace vandrelis::store
