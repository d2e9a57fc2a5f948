// Lines and component boundaries, read in time linear in the text: no line or nesting can make a
// file expensive to read.
#include "ical/ics_reader.h"

#include <algorithm>
#include <cstring>

namespace vandrelis::store {
namespace {

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string upperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = upperAscii(c);
  return out;
}

}  // namespace

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

namespace {

// "BEGIN:VEVENT" or "END:VEVENT" without building a ContentLine: these lines carry no
// parameters in practice, and the outline reads every line of the file.
bool beginOrEnd(std::string_view line, bool& isBegin, std::string& kind) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon > 5) return false;
  std::string_view name = line.substr(0, colon);
  if (equalsIgnoringCase(name, "BEGIN")) {
    isBegin = true;
  } else if (equalsIgnoringCase(name, "END")) {
    isBegin = false;
  } else {
    return false;
  }
  kind = upperAscii(trimBlanks(line.substr(colon + 1)));
  return true;
}

// The components open at a line of one component's text, closed as in the outline: an END
// that names no open component closes the innermost one.
class Nesting {
 public:
  // False when the line is no BEGIN or END.
  bool step(std::string_view line) {
    bool isBegin = false;
    if (!beginOrEnd(line, isBegin, kind_)) return false;
    // Levels past the bound are only counted, so that a search never walks a deep stack.
    if (isBegin) {
      if (open_.size() > static_cast<std::size_t>(kMaxComponentDepth)) {
        ++excess_;
      } else {
        open_.push_back(kind_);
      }
    } else if (excess_ > 0) {
      --excess_;
    } else if (auto it = std::find(open_.rbegin(), open_.rend(), kind_); it != open_.rend()) {
      open_.resize(static_cast<std::size_t>(open_.rend() - it) - 1);
    } else if (!open_.empty()) {
      open_.pop_back();
    }
    return true;
  }
  int depth() const { return static_cast<int>(open_.size()) + excess_; }
  const std::string& kind() const { return kind_; }

 private:
  std::vector<std::string> open_;
  int excess_ = 0;
  std::string kind_;
};

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upperAscii(a[i]) != upperAscii(b[i])) return false;
  }
  return true;
}

bool LineReader::next(std::string_view& line) {
  if (position_ >= text_.size()) return false;
  auto physicalEnd = [&](std::size_t from) {
    std::size_t end = text_.find('\n', from);
    return end == std::string_view::npos ? text_.size() : end;
  };
  auto contentOf = [&](std::size_t from, std::size_t end) {
    std::string_view part = text_.substr(from, end - from);
    if (!part.empty() && part.back() == '\r') part.remove_suffix(1);
    return part;
  };
  lineStart_ = position_;
  std::size_t end = physicalEnd(position_);
  std::string_view first = contentOf(position_, end);
  position_ = end + 1;
  bool folded = false;
  while (position_ < text_.size() && (text_[position_] == ' ' || text_[position_] == '\t')) {
    if (!folded) buffer_.assign(first);
    folded = true;
    end = physicalEnd(position_);
    buffer_.append(contentOf(position_ + 1, end));
    position_ = end + 1;
  }
  line = folded ? std::string_view(buffer_) : first;
  return true;
}

std::optional<ContentLine> parseContentLine(std::string_view line) {
  std::size_t nameEnd = line.find_first_of(";:");
  if (nameEnd == std::string_view::npos) return std::nullopt;
  std::size_t colon = nameEnd;
  if (line[nameEnd] == ';') {
    bool quoted = false;
    for (colon = nameEnd; colon < line.size(); ++colon) {
      if (line[colon] == '"') quoted = !quoted;
      if (line[colon] == ':' && !quoted) break;
    }
    if (colon == line.size()) return std::nullopt;
  }
  return ContentLine{std::string(line.substr(0, nameEnd)),
                     std::string(line.substr(nameEnd, colon - nameEnd)),
                     std::string(line.substr(colon + 1))};
}

std::vector<std::pair<std::string_view, std::string_view>> splitParameters(
    std::string_view params) {
  std::vector<std::pair<std::string_view, std::string_view>> out;
  std::size_t at = 0;
  while (at < params.size()) {
    // params[at] is the ';' that starts a parameter.
    std::size_t nameStart = at + 1;
    std::size_t equals = params.find_first_of("=;", nameStart);
    if (equals == std::string_view::npos) equals = params.size();
    std::string_view name = trimBlanks(params.substr(nameStart, equals - nameStart));
    std::size_t valueStart = equals < params.size() && params[equals] == '=' ? equals + 1 : equals;
    std::size_t end = valueStart;
    bool quoted = false;
    while (end < params.size() && (quoted || params[end] != ';')) {
      if (params[end] == '"') quoted = !quoted;
      ++end;
    }
    out.emplace_back(name, params.substr(valueStart, end - valueStart));
    at = end;
  }
  return out;
}

std::optional<std::string> parameterValue(std::string_view params, std::string_view name) {
  for (auto [paramName, raw] : splitParameters(params)) {
    if (!equalsIgnoringCase(paramName, name)) continue;
    std::string value;
    for (char c : raw) {
      if (c != '"') value.push_back(c);
    }
    return value;
  }
  return std::nullopt;
}

std::optional<std::string> firstProperty(std::string_view componentText, std::string_view name) {
  LineReader reader(componentText);
  std::string_view line;
  Nesting nesting;
  while (reader.next(line)) {
    if (nesting.step(line)) continue;
    if (nesting.depth() != 1 || line.size() <= name.size() || !equalsIgnoringCase(line.substr(0, name.size()), name)) {
      continue;
    }
    char next = line[name.size()];
    if (next != ':' && next != ';') continue;
    if (std::optional<ContentLine> parsed = parseContentLine(line)) return std::move(parsed->value);
  }
  return std::nullopt;
}

std::string unescapeText(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      char next = value[++i];
      out.push_back(next == 'n' || next == 'N' ? '\n' : next);
    } else {
      out.push_back(value[i]);
    }
  }
  return out;
}

namespace {

// Whether the text's first line ends in CR alone: its first CR comes before its first LF and
// is not the CR of a CRLF. Only the first line is looked at.
bool endsLinesInCr(std::string_view text) {
  if (text.empty()) return false;
  const std::size_t firstLf = text.find('\n');
  const void* cr = std::memchr(text.data(), '\r', std::min(firstLf, text.size()));
  if (cr == nullptr) return false;
  return static_cast<std::size_t>(static_cast<const char*>(cr) - text.data()) + 1 != firstLf;
}

}  // namespace

IcsOutline outlineIcs(std::string_view text) {
  IcsOutline outline;
  // Outlook's and .NET's exporters begin with a byte-order mark.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  if (endsLinesInCr(text)) {
    // Old Mac exports: a copy with each CR that is not part of a CRLF made an LF, which the
    // line reader and every component's reading then take as usual.
    auto copy = std::make_unique<std::string>(text);
    for (std::size_t i = 0; i < copy->size(); ++i) {
      if ((*copy)[i] == '\r' && (i + 1 == copy->size() || (*copy)[i + 1] != '\n')) (*copy)[i] = '\n';
    }
    text = *copy;
    outline.ownText = std::move(copy);
  }
  LineReader reader(text);
  std::string_view line;
  // Only the kinds of the first levels are kept; deeper levels are counted.
  std::vector<std::string> stack;
  int depth = 0;
  std::size_t componentStart = 0;
  bool tooDeep = false;
  std::string topKind;
  std::string kind;
  while (reader.next(line)) {
    bool isBegin = false;
    if (!beginOrEnd(line, isBegin, kind)) continue;
    if (isBegin) {
      ++depth;
      if (depth <= kMaxComponentDepth + 1) stack.push_back(kind);
      if (depth == 1 && kind == "VCALENDAR") outline.isCalendar = true;
      if (depth == 2) {
        componentStart = reader.lineStart();
        tooDeep = false;
        topKind = kind;
      }
      if (depth > kMaxComponentDepth) tooDeep = true;
      continue;
    }
    if (depth == 0) continue;  // END before any BEGIN
    // An END names the component it closes; one that names no open component closes the
    // innermost one, but not the top level (a stray END there is ignored). Levels beyond
    // those kept close in order.
    if (depth > static_cast<int>(stack.size())) {
      --depth;
    } else {
      auto open = std::find(stack.rbegin(), stack.rend(), kind);
      if (open == stack.rend() && depth == 1) continue;
      std::size_t keep = open == stack.rend() ? stack.size() - 1
                                              : static_cast<std::size_t>(stack.rend() - open) - 1;
      int closedFrom = depth;
      depth = static_cast<int>(keep);
      stack.resize(keep);
      if (closedFrom >= 2 && depth < 2 && stack.size() >= 1 && stack[0] == "VCALENDAR") {
        std::size_t end = reader.lineEnd();
        ComponentKind componentKind = topKind == "VEVENT"      ? ComponentKind::event
                                      : topKind == "VTIMEZONE" ? ComponentKind::timeZone
                                                               : ComponentKind::other;
        outline.components.push_back(
            {componentKind, !tooDeep, text.substr(componentStart, end - componentStart)});
      }
    }
  }
  return outline;
}

ComponentLines readComponent(std::string_view componentText) {
  ComponentLines lines;
  LineReader reader(componentText);
  std::string_view line;
  Nesting nesting;
  while (reader.next(line)) {
    int before = nesting.depth();
    if (nesting.step(line)) {
      if (nesting.depth() == 2 && before == 1) lines.children.push_back({nesting.kind(), {}});
      continue;
    }
    int depth = nesting.depth();
    if (depth != 1 && depth != 2) continue;
    std::optional<ContentLine> parsed = parseContentLine(line);
    if (!parsed) continue;
    if (depth == 1) {
      lines.properties.push_back(std::move(*parsed));
    } else if (!lines.children.empty()) {
      lines.children.back().properties.push_back(std::move(*parsed));
    }
  }
  return lines;
}

}  // namespace vandrelis::store
