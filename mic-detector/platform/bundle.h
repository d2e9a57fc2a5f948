// An application bundle on disk: its identifier and the values of its information dictionary.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace micdetector {

// A value of the information dictionary: missing, a text, or of another type.
struct InfoValue {
  enum class Kind { missing, text, other };
  Kind kind = Kind::missing;
  std::string text;  // when kind is text
};

class Bundle {
 public:
  // The bundle at a directory, or nothing when there is no directory there. A directory
  // without a readable information dictionary is a bundle without identifier or values.
  static std::optional<Bundle> atDirectory(const std::string& directory);

  std::optional<std::string> bundleIdentifier() const;
  InfoValue objectForInfoDictionaryKey(std::string_view key) const;

 private:
  struct Info;  // the platform's parsed dictionary
  explicit Bundle(std::shared_ptr<const Info> info) : info_(std::move(info)) {}
  std::shared_ptr<const Info> info_;  // null when there is no dictionary
};

}  // namespace micdetector
