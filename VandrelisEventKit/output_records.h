// The records the helper writes on standard output, one JSON document per line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vandrelis {

struct PermissionOutput {
  std::string authorizationStatus;
};

struct CalendarOutput {
  std::string externalId;
  std::string title;
  std::optional<std::string> color;
  std::optional<std::string> sourceTitle;
  std::optional<std::string> sourceType;
  bool allowsContentModifications = false;
  bool primary = false;
};

struct PartyOutput {
  std::optional<std::string> name;
  std::optional<std::string> email;
  bool isCurrentUser = false;
  std::optional<std::string> status;
};

struct EventOutput {
  std::string calendarExternalId;
  std::string sourceEventId;
  std::optional<std::string> icalUid;
  std::string recurrenceId;
  std::string title;
  std::optional<std::string> description;
  std::string startsAt;
  std::string endsAt;
  bool isAllDay = false;
  std::string status;
  std::optional<std::string> meetingUrl;
  std::optional<std::string> location;
  std::optional<PartyOutput> organizer;
  std::optional<std::vector<PartyOutput>> attendees;
  std::optional<std::string> sourceUpdatedAt;
};

struct SnapshotOutput {
  std::vector<EventOutput> events;
};

struct ChangeOutput {
  std::string type = "changed";
};

}  // namespace vandrelis
