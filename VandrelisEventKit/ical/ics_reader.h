// The outline of iCalendar text, read without libical: unfolded content lines, their parameters
// and text values, and where each component of a VCALENDAR begins and ends. Everything here is
// linear in the text's size, so that no line or nesting can make a file expensive to read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vandrelis::store {

// Components nested deeper than this (the VCALENDAR is level 1) make the top-level component
// that holds them unreadable.
inline constexpr int kMaxComponentDepth = 64;

// One logical line: "NAME;PARAM=value:value", folded lines joined.
struct ContentLine {
  std::string name;    // as written
  std::string params;  // from the first ';' up to the value's ':', empty when there are none
  std::string value;
};

// Splits a logical line at its name, parameters and value (a ':' inside a quoted parameter
// value is not the separator). None when there is no ':' at all.
std::optional<ContentLine> parseContentLine(std::string_view line);

// The value of a parameter as written (surrounding quotes removed, blanks kept); a list value
// is given whole. None when the parameter is absent.
std::optional<std::string> parameterValue(std::string_view params, std::string_view name);

// The parameters of a line's parameter text, each as name and value as written (quotes kept).
std::vector<std::pair<std::string_view, std::string_view>> splitParameters(std::string_view params);

// The value of the first property of that name directly in a component (not in its
// sub-components), as written; read without building the component's other lines.
std::optional<std::string> firstProperty(std::string_view componentText, std::string_view name);

// A TEXT value with its escapes (\n \N \, \; \\) undone and nothing else changed.
std::string unescapeText(std::string_view value);

bool equalsIgnoringCase(std::string_view a, std::string_view b);

// The text without its leading and trailing spaces and tabs.
std::string_view trimBlanks(std::string_view text);

// The logical lines of a text, in order: CRLF or LF endings, a line that begins with a space
// or tab continues the one before it.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}
  // The next line, valid until the following call; false at the end.
  bool next(std::string_view& line);
  // Offsets in the text of the last line's start and of the end of its last physical line
  // (its line break included).
  std::size_t lineStart() const { return lineStart_; }
  std::size_t lineEnd() const { return std::min(position_, text_.size()); }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
  std::size_t lineStart_ = 0;
  std::string buffer_;
};

// A component directly under a VCALENDAR: its kind and its text, from its BEGIN line to the
// end of its END line. Small, since a file may hold hundreds of thousands.
enum class ComponentKind : std::uint8_t { event, timeZone, other };
struct ComponentText {
  ComponentKind kind = ComponentKind::other;
  bool readable = true;  // false: nested too deep
  std::string_view text;
};

struct IcsOutline {
  bool isCalendar = false;  // at least one BEGIN:VCALENDAR at the top level
  std::vector<ComponentText> components;  // every VCALENDAR's, in file order
  // The text the components point into when it is not the one given: a copy of a text whose
  // lines end in CR alone, with LF line ends.
  std::unique_ptr<const std::string> ownText;
};

// Components that never end (a cut file) are left out. A leading UTF-8 byte-order mark is
// passed over, and a text whose first line ends in CR alone (old Mac exports) is read as if
// each lone CR were an LF; which applies is decided on the first line, so that an ordinary
// text costs no extra pass. An END names the component it closes, with those open inside it;
// an END that names no open component closes the innermost one, as libical and ical.js do (a
// mistyped "END:VTOOD" closes the VTODO), except at the top level: a VCALENDAR is closed only
// by its own name.
IcsOutline outlineIcs(std::string_view text);

// The lines of one component: its own properties, and its direct sub-components' lines one
// level down (VTIMEZONE observances). Deeper components are passed over.
struct ComponentLines {
  std::vector<ContentLine> properties;
  struct Child {
    std::string kind;
    std::vector<ContentLine> properties;
  };
  std::vector<Child> children;
};
ComponentLines readComponent(std::string_view componentText);

}  // namespace vandrelis::store
