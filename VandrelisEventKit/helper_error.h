// Failures of the calendar helper. Each carries the exact text of the one report line.
#pragma once

#include <exception>
#include <string>

namespace vandrelis {

class HelperError : public std::exception {
 public:
  enum class Kind { invalidArguments, permissionDenied };

  static HelperError invalidArguments(std::string message) {
    return HelperError(Kind::invalidArguments, std::move(message));
  }
  static HelperError permissionDenied() {
    return HelperError(Kind::permissionDenied, "Calendar permission is not granted");
  }

  Kind kind() const { return kind_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  HelperError(Kind kind, std::string description)
      : kind_(kind), description_(std::move(description)) {}
  Kind kind_;
  std::string description_;
};

// A failure that comes from the platform (the store, or the output descriptor); reported with
// the platform's own description, never wrapped in a HelperError.
class PlatformError : public std::exception {
 public:
  explicit PlatformError(std::string description) : description_(std::move(description)) {}
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
};

}  // namespace vandrelis
