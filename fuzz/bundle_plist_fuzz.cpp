// The bundle reader on an Info.plist of any content, XML or binary.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz_support.h"
#include "platform/bundle.h"

namespace {

const std::string& bundleDirectory() {
  static const std::string directory = [] {
    char pattern[] = "/tmp/bundle-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) fuzzsupport::fail("mkdtemp");
    std::filesystem::create_directories(std::string(pattern) + "/Contents");
    return std::string(pattern);
  }();
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = bundleDirectory() + "/Contents/Info.plist";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fuzzsupport::fail("cannot write the Info.plist");
  for (std::size_t written = 0; written < size;) {
    const ssize_t n = ::write(fd, data + written, size - written);
    if (n <= 0) fuzzsupport::fail("cannot write the Info.plist");
    written += static_cast<std::size_t>(n);
  }
  ::close(fd);
  const auto bundle = micdetector::Bundle::atDirectory(bundleDirectory());
  FUZZ_CHECK(bundle.has_value(), "a directory is a bundle");
  const auto identifier = bundle->bundleIdentifier();
  const auto identifierValue = bundle->objectForInfoDictionaryKey("CFBundleIdentifier");
  // The identifier is the text value of its key, whichever way it is asked for.
  FUZZ_CHECK(identifier.has_value() ==
                 (identifierValue.kind == micdetector::InfoValue::Kind::text),
             "identifier");
  if (identifier) FUZZ_CHECK(*identifier == identifierValue.text, *identifier);
  for (const char* key : {"CFBundleName", "CFBundleDisplayName", "CFBundleExecutable"}) {
    (void)bundle->objectForInfoDictionaryKey(key);
  }
  return 0;
}
