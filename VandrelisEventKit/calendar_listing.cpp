// Calendar records for list-calendars. Each store property is read once per calendar.
#include "calendar_listing.h"

#include <cmath>

#include "json_writer.h"
#include "permission.h"
#include "text.h"

namespace vandrelis {
namespace {

constexpr const char* kSourceTypeWords[] = {"local",  "exchange",   "caldav",
                                            "icloud", "subscribed", "birthdays"};

// Upper-case hexadecimal digits of a non-negative integral double, at least two of them.
// Works digit by digit on the double itself, so values beyond any integer type stay exact.
void appendHex(std::string& out, double value) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::string digits;
  while (value >= 1) {
    double quotient = std::floor(value / 16);  // division by a power of two is exact
    digits.push_back(kDigits[static_cast<int>(value - quotient * 16)]);
    value = quotient;
  }
  while (digits.size() < 2) digits.push_back('0');
  out.append(digits.rbegin(), digits.rend());
}

}  // namespace

std::optional<std::string> colorText(const std::optional<store::CalendarColor>& color) {
  if (!color || !color->components || color->components->size() < 3) return std::nullopt;
  std::string text = "#";
  for (std::size_t i = 0; i < 3; ++i) {
    double component = (*color->components)[i];
    // std::round rounds halves away from zero; -0.0 counts as zero, not as negative.
    double scaled = std::round(component * 255);
    if (!std::isfinite(scaled) || component < 0) return std::nullopt;
    appendHex(text, scaled);
  }
  return text;
}

std::string sourceTypeWord(std::int64_t sourceType) {
  // Taken as unsigned, a negative value is far above the table's end.
  auto index = static_cast<std::uint64_t>(sourceType);
  return index < std::size(kSourceTypeWords) ? kSourceTypeWords[index] : "unknown";
}

CalendarOutput calendarOutput(const store::Calendar& calendar,
                              const std::optional<std::string>& defaultIdentifier) {
  CalendarOutput output;
  output.externalId = calendar.calendarIdentifier();
  output.title = prefixCharacters(calendar.title(), kCalendarTitleLimit);
  output.color = colorText(calendar.color());
  if (std::shared_ptr<const store::Source> source = calendar.source()) {
    output.sourceTitle = prefixCharacters(source->title(), kCalendarTitleLimit);
    output.sourceType = sourceTypeWord(source->sourceType());
  }
  output.allowsContentModifications = calendar.allowsContentModifications();
  output.primary = defaultIdentifier.has_value() && *defaultIdentifier == output.externalId;
  return output;
}

std::vector<CalendarOutput> calendarOutputs(const store::CalendarStore& store) {
  std::optional<std::string> defaultIdentifier;
  if (std::shared_ptr<const store::Calendar> fallback = store.defaultCalendarForNewEvents()) {
    defaultIdentifier = fallback->calendarIdentifier();
  }
  std::vector<CalendarOutput> outputs;
  for (const auto& calendar : store.calendarsForEvents()) {
    if (calendar) outputs.push_back(calendarOutput(*calendar, defaultIdentifier));
  }
  return outputs;
}

void listCalendars(const store::CalendarStore& store) {
  requirePermission(store);
  writeJson(calendarOutputs(store));
}

}  // namespace vandrelis
