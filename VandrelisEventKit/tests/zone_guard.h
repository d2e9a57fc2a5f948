// Sets the process's time zone (TZ, and where ICU is the text library ICU's default alike) or
// ICU's default locale for the life of a test and restores it. Without ICU (Apple) the locale
// guard has nothing to set: the cores read no locale there.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <memory>
#include <optional>
#include <string>

#if !defined(__APPLE__)
#include <unicode/locid.h>
#include <unicode/timezone.h>
#define ZONE_GUARD_ICU 1
#endif

namespace vandrelis::testing {

class DefaultZone {
 public:
  explicit DefaultZone(const char* identifier) {
    if (const char* old = getenv("TZ")) savedTz_ = old;
    setenv("TZ", identifier, 1);
    tzset();
#ifdef ZONE_GUARD_ICU
    saved_.reset(icu::TimeZone::createDefault());
    icu::TimeZone::adoptDefault(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(identifier)));
#endif
  }
  ~DefaultZone() {
    if (savedTz_) {
      setenv("TZ", savedTz_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
#ifdef ZONE_GUARD_ICU
    icu::TimeZone::adoptDefault(saved_.release());
#endif
  }
  DefaultZone(const DefaultZone&) = delete;
  DefaultZone& operator=(const DefaultZone&) = delete;

 private:
#ifdef ZONE_GUARD_ICU
  std::unique_ptr<icu::TimeZone> saved_;
#endif
  std::optional<std::string> savedTz_;
};

#ifdef ZONE_GUARD_ICU
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
#else
class DefaultLocale {
 public:
  explicit DefaultLocale(const char*) {}
  DefaultLocale(const DefaultLocale&) = delete;
  DefaultLocale& operator=(const DefaultLocale&) = delete;
};
#endif

}  // namespace vandrelis::testing
