// GNOME's calendars: the calendar sources of Evolution Data Server (EDS) on the session bus.
// Every call is bounded; when there is no session bus, no EDS, or EDS does not answer in time,
// the store simply has no calendars, and the same from the moment the session bus goes away.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/calendar_store.h"

namespace vandrelis::store {

struct GlibState;

class EdsSource final : public Source {
 public:
  EdsSource(std::string title, std::int64_t sourceType)
      : title_(std::move(title)), sourceType_(sourceType) {}
  std::string title() const override { return title_; }
  std::int64_t sourceType() const override { return sourceType_; }

 private:
  std::string title_;
  std::int64_t sourceType_;
};

// A calendar source. Its identifier is "eds:" followed by the source's UID: source UIDs name
// key files, so they never hold a "/", which every vdir identifier does.
class EdsCalendar final : public Calendar {
 public:
  EdsCalendar(std::string sourceUid, std::string title, std::optional<CalendarColor> color,
              std::shared_ptr<const EdsSource> source, bool writable,
              std::vector<std::string> ownAddresses);

  std::string calendarIdentifier() const override { return identifier_; }
  std::string title() const override { return title_; }
  std::optional<CalendarColor> color() const override { return color_; }
  std::shared_ptr<const Source> source() const override { return source_; }
  bool allowsContentModifications() const override { return writable_; }

  const std::string& sourceUid() const { return sourceUid_; }
  // The account's own addresses (lower-cased), which make an organizer or attendee the user.
  const std::vector<std::string>& ownAddresses() const { return ownAddresses_; }
  bool isOwnAddress(std::string_view address) const;

 private:
  std::string sourceUid_;
  std::string identifier_;
  std::string title_;
  std::optional<CalendarColor> color_;
  std::shared_ptr<const EdsSource> source_;
  bool writable_;
  std::vector<std::string> ownAddresses_;
};

inline constexpr std::string_view kEdsIdentifierPrefix = "eds:";

class EdsStore : public CalendarStore {
 public:
  struct Bounds {
    // Connecting to the source registry, which a hanging registry would stretch to the
    // bus's 25 s call timeout.
    std::chrono::milliseconds connect{3000};
    // Any other call: a listing or one query, including the calendar factory's start.
    std::chrono::milliseconds call{15000};
  };

  EdsStore() : EdsStore(Bounds{}) {}
  explicit EdsStore(Bounds bounds);
  ~EdsStore() override;

  // EDS has no permission of its own; the helper's consent is decided elsewhere.
  std::int64_t authorizationStatus() const override { return kStatusFullAccess; }
  void requestFullAccessToEvents(AccessCompletion completion) override {
    completion(true, std::nullopt);
  }

  // The enabled calendar sources, ordered by source UID.
  CalendarList calendarsForEvents() const override;
  // The registry's default calendar when it is enabled.
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() const override;
  // The components of each given EDS calendar that the backend finds near the window, plus
  // every override of their series, expanded by the project's own expander and cut to the
  // window exactly. Other stores' calendars are ignored.
  EventList eventsMatching(Instant start, Instant end,
                           const CalendarList& calendars) const override;
  // A view per calendar and the registry's source signals; a burst of them posts
  // kStoreChangedNotification with this store as sender. So does the end of the session bus,
  // once: the store's calendars are gone, and it does not look for EDS again.
  void beginObservingChanges() override;

  struct Session;

 private:
  // The session when EDS is reachable; null once it is known not to be.
  std::shared_ptr<Session> session() const;
  // Runs task(GlibState&, GCancellable*) on the GLib thread within the call bound; none when
  // EDS is not there or did not answer in time.
  template <class F>
  auto onGlibThread(F task) const;

  Bounds bounds_;
  mutable std::mutex mutex_;
  mutable std::shared_ptr<Session> session_;
  mutable bool unavailable_ = false;
};

}  // namespace vandrelis::store
