// Store properties are read in a fixed order so that an event that is left out costs only
// the reads that decide it, and the attendee list is cut before any participant is read.
#include "event_conversion.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "iso_formatter.h"
#include "recurrence_id.h"
#include "text.h"

namespace vandrelis {
namespace {

constexpr std::int64_t kEventCanceled = 3;
constexpr std::int64_t kEventTentative = 2;

constexpr std::array<const char*, 7> kParticipantWords = {
    "pending", "accepted", "declined", "tentative", "delegated", "completed", "in-process"};

// Keeps the text's own buffer when no cut is needed; a cut copies only the prefix, so a
// record never holds on to the memory of a long original.
std::string capped(std::string text, std::size_t cap) {
  std::string_view prefix = prefixCharacters(text, cap);
  if (prefix.size() == text.size()) return text;
  return std::string(prefix);
}

std::optional<std::string> capped(std::optional<std::string> text, std::size_t cap) {
  if (!text) return std::nullopt;
  return capped(std::move(*text), cap);
}

bool asciiCaseInsensitiveEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != b[i]) return false;
  }
  return true;
}

// The text after a "mailto:" scheme in any letter case. The scheme must be seven whole
// characters: a mark combining with its ":" makes it a different character.
std::optional<std::string> emailFromUrl(const std::string& url) {
  constexpr std::string_view kScheme = "mailto:";
  std::string_view head = prefixCharacters(url, kScheme.size());
  if (!asciiCaseInsensitiveEqual(head, kScheme)) return std::nullopt;
  return std::string(prefixCharacters(std::string_view(url).substr(kScheme.size()), kEmailCap));
}

std::optional<std::string> participantWord(std::int64_t status) {
  const auto index = static_cast<std::uint64_t>(status) - 1;
  if (index >= kParticipantWords.size()) return std::nullopt;
  return kParticipantWords[index];
}

}  // namespace

PartyOutput partyOutput(const store::Participant& participant) {
  PartyOutput party;
  party.email = emailFromUrl(participant.url());
  party.name = capped(participant.name(), kNameCap);
  party.isCurrentUser = participant.isCurrentUser();
  party.status = participantWord(participant.participantStatus());
  return party;
}

std::optional<EventOutput> eventOutput(const store::Event& event) {
  const std::int64_t status = event.status();
  if (status == kEventCanceled) return std::nullopt;
  const std::optional<store::Instant> start = event.startDate();
  if (!start) return std::nullopt;
  const std::optional<store::Instant> end = event.endDate();
  if (!end) return std::nullopt;

  EventOutput output;
  output.recurrenceId = recurrenceId(event);
  output.sourceEventId = event.calendarItemIdentifier();
  output.sourceEventId.push_back(':');
  output.sourceEventId.append(output.recurrenceId);
  std::shared_ptr<const store::Calendar> calendar = event.calendar();
  if (!calendar) return std::nullopt;  // nowhere to attribute it
  output.calendarExternalId = calendar->calendarIdentifier();

  output.icalUid = event.calendarItemExternalIdentifier();
  std::optional<std::string> title = event.title();
  output.title = title ? capped(std::move(*title), kTitleCap) : std::string("(no title)");
  output.description = capped(event.notes(), kNotesCap);
  output.location = capped(event.location(), kLocationCap);

  output.startsAt = isoFormatter().string(*start);
  output.endsAt = isoFormatter().string(*end);
  output.isAllDay = event.isAllDay();
  output.status = status == kEventTentative ? "tentative" : "confirmed";
  output.meetingUrl = capped(event.url(), kUrlCap);

  if (std::shared_ptr<const store::Participant> organizer = event.organizer()) {
    output.organizer = partyOutput(*organizer);
  }
  if (std::optional<store::ParticipantList> attendees = event.attendees()) {
    const std::size_t kept = std::min(attendees->size(), kAttendeeCap);
    std::vector<PartyOutput>& parties = output.attendees.emplace();
    parties.reserve(kept);
    for (std::size_t i = 0; i < kept; ++i) {
      if ((*attendees)[i])
        parties.push_back(partyOutput(*(*attendees)[i]));  // null: nothing to read
    }
  }
  if (std::optional<store::Instant> modified = event.lastModifiedDate()) {
    output.sourceUpdatedAt = isoFormatter().string(*modified);
  }
  return output;
}

}  // namespace vandrelis
