// Sets the process's time zone (TZ, and ICU's default alike) or ICU's default locale for the
// life of a test and restores it.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <memory>
#include <optional>
#include <string>

#include <unicode/locid.h>
#include <unicode/timezone.h>

namespace vandrelis::testing {

class DefaultZone {
 public:
  explicit DefaultZone(const char* identifier) : saved_(icu::TimeZone::createDefault()) {
    if (const char* old = getenv("TZ")) savedTz_ = old;
    setenv("TZ", identifier, 1);
    tzset();
    icu::TimeZone::adoptDefault(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(identifier)));
  }
  ~DefaultZone() {
    if (savedTz_) {
      setenv("TZ", savedTz_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    icu::TimeZone::adoptDefault(saved_.release());
  }
  DefaultZone(const DefaultZone&) = delete;
  DefaultZone& operator=(const DefaultZone&) = delete;

 private:
  std::unique_ptr<icu::TimeZone> saved_;
  std::optional<std::string> savedTz_;
};

class DefaultLocale {
 public:
  explicit DefaultLocale(const char* name) : saved_(icu::Locale::getDefault()) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(name), status);
  }
  ~DefaultLocale() {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(saved_, status);
  }
  DefaultLocale(const DefaultLocale&) = delete;
  DefaultLocale& operator=(const DefaultLocale&) = delete;

 private:
  icu::Locale saved_;
};

}  // namespace vandrelis::testing
