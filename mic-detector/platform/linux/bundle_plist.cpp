// Reads a bundle's Contents/Info.plist, XML or binary, with libplist. Any program on the machine
// can ship a bundle, so a file is checked before libplist sees it: libplist recurses once per
// nesting level when it reads and when it frees, trusts a binary file's offsets, and takes
// quadratic time on deep nesting.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <plist/plist.h>
#include <sys/stat.h>

#include "platform/bundle.h"

namespace micdetector {

struct Bundle::Info {
  explicit Info(plist_t root) : dictionary(root) {}
  ~Info() { plist_free(dictionary); }
  Info(const Info&) = delete;
  Info& operator=(const Info&) = delete;

  plist_t dictionary;
};

namespace {

// Real dictionaries are a few kilobytes; a bigger file is not read into memory.
constexpr off_t kMaxInfoSize = 4 * 1024 * 1024;

// The file's bytes, or nothing when it is missing, not a regular file, too big or unreadable.
std::optional<std::string> readSmallFile(const std::string& path) {
  // O_NONBLOCK so that a FIFO planted in a bundle cannot stall the poll.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> contents;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= kMaxInfoSize) {
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t filled = 0;
    while (filled < bytes.size()) {
      const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);  // a file that shrank while read is taken as it was read
    contents = std::move(bytes);
  }
  ::close(fd);
  return contents;
}

// Real dictionaries nest a few levels; the bound keeps libplist's recursion shallow.
constexpr std::size_t kMaxNesting = 64;
// Values reached from the root, counting each time a shared value is reached again: libplist
// copies a shared value for each reference, so this bounds its work and memory.
constexpr std::uint64_t kMaxValues = 1 << 18;

std::uint64_t bigEndian(const unsigned char* bytes, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = value << 8 | bytes[i];
  return value;
}

// Whether a binary property list is well formed as far as libplist relies on it: a trailer
// whose sizes and offsets lie inside the file, every value reached from the root whole inside
// the value area, every reference naming a value, containers nested at most kMaxNesting deep.
// Walks with a stack of its own, never recursing.
bool isSafeBinaryPlist(std::string_view file) {
  constexpr std::size_t kHeader = 8, kTrailer = 32;
  if (file.size() < kHeader + kTrailer + 1) return false;
  const auto* data = reinterpret_cast<const unsigned char*>(file.data());
  const unsigned char* trailer = data + file.size() - kTrailer;
  const std::size_t offsetSize = trailer[6], refSize = trailer[7];
  const std::uint64_t count = bigEndian(trailer + 8, 8), root = bigEndian(trailer + 16, 8),
                      tableOffset = bigEndian(trailer + 24, 8);
  const std::uint64_t valuesEnd = tableOffset;  // values lie in [kHeader, tableOffset)
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || count == 0 ||
      root >= count || tableOffset < kHeader || tableOffset > file.size() - kTrailer ||
      count > (file.size() - kTrailer - tableOffset) / offsetSize) {
    return false;
  }
  const auto offsetOf = [&](std::uint64_t index) {
    return bigEndian(data + tableOffset + index * offsetSize, offsetSize);
  };
  // The length of a value with a count in its marker: the low nibble, or an integer after it.
  // Sets `at` past the marker and length.
  const auto length = [&](std::uint64_t& at, std::uint64_t& result) {
    const unsigned nibble = data[at] & 0x0f;
    ++at;
    if (nibble != 0x0f) {
      result = nibble;
      return true;
    }
    if (at >= valuesEnd || (data[at] & 0xf0) != 0x10) return false;
    const std::uint64_t size = std::uint64_t{1} << (data[at] & 0x0f);
    if (size > 8 || size > valuesEnd - at - 1) return false;
    result = bigEndian(data + at + 1, static_cast<std::size_t>(size));
    at += 1 + size;
    return true;
  };

  struct Open {
    std::uint64_t refs;  // where the next reference is
    std::uint64_t left;  // references still to follow
  };
  std::vector<Open> stack;
  std::uint64_t values = 0;
  std::uint64_t next = root;
  for (;;) {
    if (++values > kMaxValues) return false;
    std::uint64_t at = offsetOf(next);
    if (at < kHeader || at >= valuesEnd) return false;
    const unsigned type = data[at] >> 4, nibble = data[at] & 0x0f;
    std::uint64_t size = 0;  // bytes after the marker (and length)
    std::uint64_t refs = 0;  // references, for a container
    switch (type) {
      case 0x0:  // null, booleans, fill
        ++at;
        break;
      case 0x1:  // integer
      case 0x2:  // real
        if (nibble > 4) return false;
        ++at;
        size = std::uint64_t{1} << nibble;
        break;
      case 0x3:  // date
        ++at;
        size = 8;
        break;
      case 0x4:  // data
      case 0x5:  // ASCII text
      case 0x6:  // UTF-16 text
        if (!length(at, size)) return false;
        if (type == 0x6) {
          if (size > valuesEnd / 2) return false;
          size *= 2;
        }
        break;
      case 0x8:  // UID
        ++at;
        size = std::uint64_t{nibble} + 1;
        break;
      case 0xa:  // array
      case 0xc:  // set
      case 0xd:  // dictionary: keys, then values
        if (!length(at, refs)) return false;
        if (type == 0xd) {
          if (refs > valuesEnd) return false;
          refs *= 2;
        }
        if (refs > (valuesEnd - at) / refSize) return false;
        size = refs * refSize;
        break;
      default:
        return false;
    }
    if (at > valuesEnd || size > valuesEnd - at) return false;
    if (refs > 0) {
      if (stack.size() >= kMaxNesting) return false;
      stack.push_back({at, refs});
    }
    // The next value to look at: the next reference of the innermost open container.
    while (!stack.empty() && stack.back().left == 0) stack.pop_back();
    if (stack.empty()) return true;
    Open& open = stack.back();
    next = bigEndian(data + open.refs, refSize);
    if (next >= count) return false;
    open.refs += refSize;
    --open.left;
  }
}

// Whether an XML property list nests its elements at most kMaxNesting deep (plus the plist
// element and a leaf). Tags are counted without parsing; whatever else is wrong is libplist's
// to find.
bool isShallowXmlPlist(std::string_view file) {
  std::size_t depth = 0;
  std::size_t at = 0;
  while ((at = file.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = file.substr(at);
    std::string_view close = ">";
    if (rest.starts_with("<!--")) {
      close = "-->";
    } else if (rest.starts_with("<![CDATA[")) {
      close = "]]>";
    } else if (rest.starts_with("<?")) {
      close = "?>";
    }
    const std::size_t end = file.find(close, at + 1);
    if (end == std::string_view::npos) return true;  // unfinished: libplist rejects it
    const std::string_view tag = file.substr(at, end - at);
    at = end + close.size();
    if (close != ">" || tag.starts_with("<!")) continue;
    if (tag.starts_with("</")) {
      if (depth > 0) --depth;
    } else if (!tag.ends_with('/')) {
      if (++depth > kMaxNesting + 2) return false;
    }
  }
  return true;
}

// The parsed dictionary's root, or null when the file is not one or is not safe to parse.
plist_t parse(const std::string& bytes) {
  plist_t root = nullptr;
  const auto size = static_cast<std::uint32_t>(bytes.size());
  if (bytes.starts_with("bplist00")) {
    if (isSafeBinaryPlist(bytes)) plist_from_bin(bytes.data(), size, &root);
  } else if (isShallowXmlPlist(bytes)) {
    plist_from_xml(bytes.data(), size, &root);
  }
  return root;
}

std::optional<std::string> stringValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr) return std::string();
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

std::optional<Bundle> Bundle::atDirectory(const std::string& directory) {
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return std::nullopt;
  const auto bytes = readSmallFile(directory + "/Contents/Info.plist");
  if (!bytes || bytes->empty()) return Bundle(nullptr);
  plist_t root = parse(*bytes);
  if (root == nullptr) return Bundle(nullptr);
  if (plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    return Bundle(nullptr);
  }
  return Bundle(std::make_shared<const Info>(root));
}

std::optional<std::string> Bundle::bundleIdentifier() const {
  if (!info_) return std::nullopt;
  return stringValue(plist_dict_get_item(info_->dictionary, "CFBundleIdentifier"));
}

InfoValue Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  if (!info_) return {};
  const plist_t node = plist_dict_get_item(info_->dictionary, std::string(key).c_str());
  if (node == nullptr) return {};
  if (auto text = stringValue(node)) return {InfoValue::Kind::text, std::move(*text)};
  return {InfoValue::Kind::other, {}};
}

}  // namespace micdetector
