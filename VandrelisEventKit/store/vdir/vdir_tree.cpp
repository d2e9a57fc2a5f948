// Metadata is read fresh on every call: the tree is small, and a long-running watcher must see
// the user's edits without a restart.
#include "store/vdir/vdir_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "text.h"

namespace vandrelis::store {
namespace {

// Metadata files hold one short line; anything past this is not read.
constexpr std::size_t kMetadataLimit = 64 * 1024;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) { return lowerAscii(c); });
  return out;
}

// Reads at most `limit` bytes of a regular file (all of it when truncate is false, or none
// when it is longer). Opening without blocking keeps a FIFO planted in the tree from hanging
// the store.
std::optional<std::string> readFile(const std::filesystem::path& file, std::size_t limit,
                                    bool truncate) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      (!truncate && static_cast<std::size_t>(info.st_size) > limit)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string text;
  text.resize(std::min(static_cast<std::size_t>(info.st_size), limit));
  std::size_t filled = 0;
  bool failed = false;
  while (filled < text.size()) {
    ssize_t n = ::read(fd, text.data() + filled, text.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (failed) return std::nullopt;
  text.resize(filled);  // the file may have shrunk meanwhile
  return text;
}

std::optional<std::string> readSmallFile(const std::filesystem::path& file) {
  return readFile(file, kMetadataLimit, true);
}

std::string_view firstLine(std::string_view text) {
  std::size_t end = text.find('\n');
  return end == std::string_view::npos ? text : text.substr(0, end);
}

std::string titleOr(const std::filesystem::path& directory, const std::string& name) {
  std::optional<std::string> title = readFirstLine(directory / "displayname");
  return title && !title->empty() ? *title : name;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::shared_ptr<const VdirSource> readSource(const std::filesystem::path& directory,
                                             const std::string& name) {
  std::int64_t type = 0;
  if (std::optional<std::string> word = readFirstLine(directory / "type"); word && !word->empty()) {
    type = sourceTypeFromWord(*word);
  }
  std::vector<std::string> addresses;
  if (std::optional<std::string> text = readSmallFile(directory / "addresses")) {
    std::string_view rest = *text;
    while (!rest.empty()) {
      std::string_view line = firstLine(rest);
      rest.remove_prefix(std::min(rest.size(), line.size() + 1));
      line = trim(line);
      if (line.size() >= 7 && lowerAscii(line.substr(0, 7)) == "mailto:") line.remove_prefix(7);
      if (!line.empty()) addresses.push_back(lowerAscii(line));
    }
  }
  return std::make_shared<VdirSource>(titleOr(directory, name), type, std::move(addresses));
}

}  // namespace

std::string identifierName(std::string_view name) {
  bool plain = name.find('\\') == std::string_view::npos;
  for (std::size_t i = 0; plain && i < name.size();) {
    std::size_t bad = 0;
    std::size_t length = utf8SequenceLength(name.substr(i), &bad);
    plain = length > 0;
    i += length;
  }
  if (plain) return std::string(name);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < name.size();) {
    if (name[i] == '\\') {
      out.append("\\\\");
      ++i;
      continue;
    }
    std::size_t bad = 0;
    std::size_t length = utf8SequenceLength(name.substr(i), &bad);
    if (length > 0) {
      out.append(name.substr(i, length));
      i += length;
      continue;
    }
    auto byte = static_cast<unsigned char>(name[i]);
    out.append("\\x").push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 15]);
    ++i;
  }
  return out;
}

bool VdirSource::isOwnAddress(std::string_view address) const {
  std::string key = lowerAscii(address);
  return std::find(addresses_.begin(), addresses_.end(), key) != addresses_.end();
}

std::optional<std::string> readFirstLine(const std::filesystem::path& file) {
  std::optional<std::string> text = readSmallFile(file);
  if (!text) return std::nullopt;
  return std::string(trim(firstLine(*text)));
}

std::vector<std::string> listSubdirectories(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return names;
  int dirFd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    bool isDirectory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
      struct stat info;  // follows the link, as a user who links a folder in expects
      isDirectory = ::fstatat(dirFd, entry->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
    }
    if (isDirectory) names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());  // std::string compares bytes as unsigned chars
  return names;
}

std::vector<std::string> listItems(const std::filesystem::path& calendarDirectory) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(calendarDirectory.c_str());
  if (dir == nullptr) return names;
  int dirFd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.front() == '.' || !name.ends_with(".ics")) continue;
    bool isFile = entry->d_type == DT_REG;
    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
      struct stat info;
      isFile = ::fstatat(dirFd, entry->d_name, &info, 0) == 0 && S_ISREG(info.st_mode);
    }
    if (isFile) names.emplace_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool ItemLister::list(int directoryFd) {
  // The names are gathered as offsets first: the arena may move while it grows.
  struct Pending {
    std::uint32_t offset;
    std::uint32_t length;
    unsigned char type;
  };
  names_.clear();
  entries_.clear();
  std::vector<Pending> pending;
  pending.reserve(entries_.capacity());
  alignas(struct dirent64) char buffer[64 * 1024];
  bool complete = true;
  for (;;) {
    const ssize_t got = ::getdents64(directoryFd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      complete = got == 0;
      break;
    }
    for (ssize_t at = 0; at < got;) {
      struct dirent64 entry;
      std::memcpy(&entry, buffer + at, offsetof(struct dirent64, d_name));
      const char* name = buffer + at + offsetof(struct dirent64, d_name);
      at += entry.d_reclen;
      const std::size_t length = std::strlen(name);
      if (name[0] == '.' || length < 4 || std::memcmp(name + length - 4, ".ics", 4) != 0) continue;
      if (entry.d_type != DT_REG && entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN) continue;
      pending.push_back({static_cast<std::uint32_t>(names_.size()),
                         static_cast<std::uint32_t>(length), entry.d_type});
      names_.append(name, length + 1);
    }
  }
  entries_.reserve(pending.size());
  for (const Pending& p : pending) {
    entries_.push_back({std::string_view(names_.data() + p.offset, p.length), p.type});
  }
  std::sort(entries_.begin(), entries_.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return complete;
}

std::optional<std::string> readRegularFile(const std::filesystem::path& file, std::size_t limit) {
  return readFile(file, limit, false);
}

std::optional<CalendarColor> parseColor(std::string_view text) {
  text = trim(text);
  if ((text.size() != 7 && text.size() != 9) || text.front() != '#') return std::nullopt;
  std::vector<double> components;
  for (std::size_t i = 1; i < text.size(); i += 2) {
    int high = hexDigit(text[i]);
    int low = hexDigit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    components.push_back((high * 16 + low) / 255.0);
  }
  return CalendarColor{std::move(components)};
}

std::int64_t sourceTypeFromWord(std::string_view word) {
  static constexpr std::array<std::string_view, 6> kWords = {
      "local", "exchange", "caldav", "icloud", "subscribed", "birthdays"};
  std::string key = lowerAscii(trim(word));
  for (std::size_t i = 0; i < kWords.size(); ++i) {
    if (key == kWords[i]) return static_cast<std::int64_t>(i);
  }
  return kUnknownSourceType;
}

VdirTree readVdirTree(const std::filesystem::path& root) {
  VdirTree tree;
  for (const std::string& sourceName : listSubdirectories(root)) {
    std::filesystem::path sourceDirectory = root / sourceName;
    std::shared_ptr<const VdirSource> source = readSource(sourceDirectory, sourceName);
    bool readOnlySource = source->sourceType() == 4 || source->sourceType() == 5;
    for (const std::string& calendarName : listSubdirectories(sourceDirectory)) {
      std::filesystem::path directory = sourceDirectory / calendarName;
      std::optional<CalendarColor> color;
      if (std::optional<std::string> text = readFirstLine(directory / "color")) {
        color = parseColor(*text);
      }
      bool writable = !readOnlySource && ::access(directory.c_str(), W_OK) == 0;
      tree.calendars.push_back(std::make_shared<VdirCalendar>(
          identifierName(sourceName) + "/" + identifierName(calendarName), titleOr(directory, calendarName), std::move(color),
          source, writable, std::move(directory)));
    }
  }
  if (std::optional<std::string> name = readFirstLine(root / "default-calendar");
      name && !name->empty()) {
    tree.defaultCalendarIdentifier = std::move(*name);
  }
  return tree;
}

}  // namespace vandrelis::store
