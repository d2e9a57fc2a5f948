// The metadata files of a calendar tree. The input is cut at NUL bytes into: the source and
// calendar directory names, the source's type, addresses and displayname, the calendar's
// displayname and color, and the root's default-calendar.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "store/vdir/vdir_tree.h"

namespace fs = std::filesystem;
using namespace vandrelis::store;

namespace {

const fs::path& root() {
  static const fs::path made = [] {
    char pattern[] = "/tmp/vdir-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) fuzzsupport::fail("mkdtemp");
    return fs::path(pattern);
  }();
  return made;
}

void writeFile(const fs::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// A usable directory name from the input, or the fallback.
std::string directoryName(std::string_view wanted, const char* fallback) {
  if (wanted.empty() || wanted.size() > 200 || wanted.front() == '.' ||
      wanted.find('/') != std::string_view::npos) {
    return fallback;
  }
  return std::string(wanted);
}

// The name an identifier stands for: "\\" is a backslash, "\xHH" a byte.
std::string nameOfIdentifier(std::string_view identifier) {
  std::string name;
  for (std::size_t i = 0; i < identifier.size(); ++i) {
    if (identifier[i] != '\\') {
      name += identifier[i];
    } else if (identifier.substr(i, 2) == "\\\\") {
      name += '\\';
      i += 1;
    } else if (identifier.substr(i, 2) == "\\x" && i + 4 <= identifier.size()) {
      name += static_cast<char>(std::stoi(std::string(identifier.substr(i + 2, 2)), nullptr, 16));
      i += 3;
    } else {
      fuzzsupport::fail("a lone backslash in an identifier", identifier);
    }
  }
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string_view> parts;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (parts.size() < 7) {
    const std::size_t cut = rest.find('\0');
    parts.push_back(rest.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  parts.push_back(rest);

  const std::string sourceName = directoryName(parts[0], "source");
  const std::string calendarName = directoryName(parts[1], "calendar");
  fs::remove_all(root());
  const fs::path calendarDirectory = root() / sourceName / calendarName;
  std::error_code error;
  if (!fs::create_directories(calendarDirectory, error)) return 0;  // a name the system refuses
  writeFile(root() / sourceName / "type", parts[2]);
  writeFile(root() / sourceName / "addresses", parts[3]);
  writeFile(root() / sourceName / "displayname", parts[4]);
  writeFile(calendarDirectory / "displayname", parts[5]);
  writeFile(calendarDirectory / "color", parts[6]);
  writeFile(root() / "default-calendar", parts[7]);

  const VdirTree tree = readVdirTree(root());
  FUZZ_CHECK(tree.calendars.size() == 1, sourceName + "/" + calendarName);
  const VdirCalendar& calendar = *tree.calendars.front();
  // Identifiers are valid UTF-8 and give back the directory names.
  const std::string& identifier = calendar.identifier();
  FUZZ_CHECK(fuzzsupport::isValidUtf8(identifier), identifier);
  const std::size_t slash = identifier.find('/');
  FUZZ_CHECK(slash != std::string::npos, identifier);
  FUZZ_CHECK(nameOfIdentifier(identifier.substr(0, slash)) == sourceName, identifier);
  FUZZ_CHECK(nameOfIdentifier(identifier.substr(slash + 1)) == calendarName, identifier);
  FUZZ_CHECK(!calendar.title().empty(), "an empty title");
  if (const auto color = calendar.color()) {
    FUZZ_CHECK(color->components && (color->components->size() == 3 || color->components->size() == 4),
               parts[6]);
    for (double component : *color->components) {
      FUZZ_CHECK(component >= 0 && component <= 1, parts[6]);
    }
  }
  const std::int64_t type = calendar.source()->sourceType();
  FUZZ_CHECK(type >= 0 && type <= kUnknownSourceType, parts[2]);
  return 0;
}
