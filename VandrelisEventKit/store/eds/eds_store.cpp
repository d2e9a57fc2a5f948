// The EDS side runs on one GLib thread (registry, clients, views); what crosses to the
// caller's thread is plain data: calendar descriptions and, for a query, one iCalendar text
// per event UID. Expansion happens on the caller's thread with the project's own expander, so
// EDS and vdir calendars give the same occurrences for the same data.
#include "store/eds/eds_store.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include <libecal/libecal.h>
#include <libical/ical.h>
#include <sys/stat.h>

#include "ical/ics_events.h"
#include "store/eds/eds_color.h"
#include "store/eds/eds_presence.h"
#include "store/eds/glib_thread.h"
#include "store/notification_center.h"
#include "store/vdir/vdir_tree.h"

namespace vandrelis::store {
namespace {

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Takes a g_malloc'ed string; null gives "".
std::string takeString(gchar* text) {
  std::string out = text != nullptr ? text : "";
  g_free(text);
  return out;
}

// The registry's D-Bus connection makes GIO ignore SIGPIPE process-wide; the helper relies on
// the default action to end when its reader has gone.
void restoreSigpipe() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

// Plain description of one calendar source, made on the GLib thread.
struct CalendarInfo {
  std::string uid;
  std::string title;
  std::string color;
  std::string sourceTitle;
  std::int64_t sourceType = kUnknownSourceType;
  bool writable = false;
  std::vector<std::string> addresses;
};

struct Listing {
  std::vector<CalendarInfo> calendars;
  std::optional<std::string> defaultUid;
};

// The events of one UID of one calendar, as an iCalendar text.
struct ItemText {
  std::string sourceUid;
  std::string eventUid;
  std::string text;
};

constexpr guint32 kNoWait = static_cast<guint32>(-1);

constexpr std::int64_t kLocal = 0, kExchange = 1, kCaldav = 2, kIcloud = 3, kSubscribed = 4,
                       kBirthdays = 5;

std::string hostOf(ESource* source) {
  std::string host;
  if (e_source_has_extension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND)) {
    auto* webdav = static_cast<ESourceWebdav*>(
        e_source_get_extension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND));
    if (GUri* uri = e_source_webdav_dup_uri(webdav)) {
      if (const char* name = g_uri_get_host(uri)) host = name;
      g_uri_unref(uri);
    }
  }
  if (host.empty() && e_source_has_extension(source, E_SOURCE_EXTENSION_AUTHENTICATION)) {
    host = takeString(e_source_authentication_dup_host(static_cast<ESourceAuthentication*>(
        e_source_get_extension(source, E_SOURCE_EXTENSION_AUTHENTICATION))));
  }
  return lowerAscii(host);
}

std::int64_t sourceTypeOf(ESource* source, std::string_view backend) {
  if (backend == "local") return kLocal;
  if (backend == "ews") return kExchange;
  if (backend == "webcal") return kSubscribed;
  if (backend == "contacts") return kBirthdays;
  if (backend == "caldav") {
    std::string host = hostOf(source);
    bool icloud = host == "icloud.com" || (host.size() > 11 && host.ends_with(".icloud.com"));
    return icloud ? kIcloud : kCaldav;
  }
  return kUnknownSourceType;
}

// The account's display name, else the parent's ("On This Computer", "On The Web").
std::string sourceTitleOf(ESourceRegistry* registry, ESource* source) {
  if (ESource* collection =
          e_source_registry_find_extension(registry, source, E_SOURCE_EXTENSION_COLLECTION)) {
    std::string title = takeString(e_source_dup_display_name(collection));
    g_object_unref(collection);
    return title;
  }
  const char* parentUid = e_source_get_parent(source);
  if (parentUid == nullptr) return "";
  ESource* parent = e_source_registry_ref_source(registry, parentUid);
  if (parent == nullptr) return "";
  std::string title = takeString(e_source_dup_display_name(parent));
  g_object_unref(parent);
  return title;
}

void addAddresses(std::vector<std::string>& out, std::string_view text) {
  // cal-email-address may list several, and may carry the scheme.
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::string address = lowerAscii(text.substr(0, comma));
    address.erase(0, address.find_first_not_of(" \t"));
    address.erase(address.find_last_not_of(" \t") + 1);
    if (address.starts_with("mailto:")) address.erase(0, 7);
    if (!address.empty() && std::find(out.begin(), out.end(), address) == out.end())
      out.push_back(std::move(address));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
}

std::string isoUtc(time_t seconds) {
  struct tm fields {};
  gmtime_r(&seconds, &fields);
  char text[32];
  strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &fields);
  return text;
}

// The backend's time-range test is its own; the padding keeps an event whose zone or
// floating time the backend reads differently from being left out, and the expander cuts to
// the window exactly afterwards.
std::string rangeQuery(Instant start, Instant end) {
  constexpr double kPadding = 2 * 86400;
  // make-time wants four-digit years; beyond those the query takes every component.
  constexpr double kEarliest = -30610224000.0;  // 1000-01-01
  constexpr double kLatest = 253402214400.0;    // 9999-12-31
  double from = start - kPadding, to = end + kPadding;
  if (!(from >= kEarliest) || !(to <= kLatest)) return "#t";
  return "(occur-in-time-range? (make-time \"" + isoUtc(static_cast<time_t>(from)) +
         "\") (make-time \"" + isoUtc(static_cast<time_t>(to)) + "\"))";
}

icalcomponent* nativeOf(ICalComponent* component) {
  return static_cast<icalcomponent*>(i_cal_object_get_native(I_CAL_OBJECT(component)));
}

std::string icalText(icalcomponent* component) {
  char* text = icalcomponent_as_ical_string_r(component);
  std::string out = text != nullptr ? text : "";
  icalmemory_free_buffer(text);
  return out;
}

bool isRepeatingOrOverride(icalcomponent* component) {
  return icalcomponent_get_first_property(component, ICAL_RRULE_PROPERTY) != nullptr ||
         icalcomponent_get_first_property(component, ICAL_RDATE_PROPERTY) != nullptr ||
         icalcomponent_get_first_property(component, ICAL_RECURRENCEID_PROPERTY) != nullptr;
}

// Native libical walks: libical-glib property objects would each hold their component alive.
void collectTzids(icalcomponent* component, std::set<std::string>& out) {
  for (icalproperty* property = icalcomponent_get_first_property(component, ICAL_ANY_PROPERTY);
       property != nullptr;
       property = icalcomponent_get_next_property(component, ICAL_ANY_PROPERTY)) {
    if (icalparameter* tzid = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER)) {
      if (const char* text = icalparameter_get_tzid(tzid)) out.insert(text);
    }
  }
}

}  // namespace

// Everything here is touched only on the GLib thread. Releasing EDS's objects may run that
// thread's pending events there and then (the registry's release does), tasks included.
struct GlibState : std::enable_shared_from_this<GlibState> {
  GDBusConnection* bus = nullptr;
  ESourceRegistry* registry = nullptr;
  std::map<std::string, ECalClient*> clients;
  std::map<std::string, ECalClientView*> views;
  std::vector<gulong> registryHandlers;
  GSource* pendingNotice = nullptr;
  bool refreshNeeded = false;
  bool observing = false;
  std::function<void()> onChange;

  ~GlibState() { release(); }

  void release() {
    if (bus != nullptr) g_signal_handlers_disconnect_by_data(bus, this);
    releaseEds();
    if (bus != nullptr) g_object_unref(std::exchange(bus, nullptr));
  }

  // Whether EDS can still be asked. GDBus marks the connection closed from its own thread at
  // once, before "closed" is delivered here: a call that ran meanwhile may have been cut short.
  bool reachable() const { return registry != nullptr && !g_dbus_connection_is_closed(bus); }

  void releaseEds() {
    observing = false;
    refreshNeeded = false;
    onChange = nullptr;
    if (pendingNotice != nullptr) {
      g_source_destroy(pendingNotice);
      g_source_unref(pendingNotice);
      pendingNotice = nullptr;
    }
    // Each is taken out of this state before it is released, so that what runs meanwhile
    // finds EDS gone.
    for (auto& [uid, view] : std::exchange(views, {})) dropView(view);
    for (auto& [uid, client] : std::exchange(clients, {})) {
      g_signal_handlers_disconnect_by_data(client, this);
      g_object_unref(client);
    }
    if (ESourceRegistry* released = std::exchange(registry, nullptr)) {
      for (gulong handler : std::exchange(registryHandlers, {}))
        g_signal_handler_disconnect(released, handler);
      g_object_unref(released);
    }
  }

  void dropView(ECalClientView* view) {
    g_signal_handlers_disconnect_by_data(view, this);
    e_cal_client_view_stop(view, nullptr);
    g_object_unref(view);
  }

  bool connectRegistry(GCancellable* cancellable) {
    bus = sessionBusKeptOnClose(cancellable);
    if (bus != nullptr) {
      g_signal_connect(bus, "closed", G_CALLBACK(onBusClosed), this);
      registry = e_source_registry_new_sync(cancellable, nullptr);
    }
    restoreSigpipe();
    return reachable();
  }

  // The session bus has gone, and EDS with it for this process: EDS's objects are dropped, since
  // their calls could only fail, and a watcher hears once that the EDS calendars are gone.
  static void onBusClosed(GDBusConnection*, gboolean, GError*, gpointer data) {
    auto* state = static_cast<GlibState*>(data);
    // The store's last task, which drops its own reference to this state, may run in the middle.
    const std::shared_ptr<GlibState> keep = state->weak_from_this().lock();
    if (!keep) return;
    const bool observed = state->observing;
    std::function<void()> notify = std::move(state->onChange);
    state->releaseEds();
    if (observed && notify) notify();
  }

  ECalClient* client(ESource* source, GCancellable* cancellable) {
    std::string uid = e_source_get_uid(source);
    if (auto found = clients.find(uid); found != clients.end()) return found->second;
    // Not waiting for the backend to go online: a wait of 0 never ends, and any other wait
    // is slept in full even by a local calendar. An offline backend answers from its cache,
    // and the caller's bound covers the connection itself.
    EClient* connected = e_cal_client_connect_sync(source, E_CAL_CLIENT_SOURCE_TYPE_EVENTS, kNoWait,
                                                   cancellable, nullptr);
    restoreSigpipe();
    if (connected == nullptr) return nullptr;
    auto* calendar = E_CAL_CLIENT(connected);
    g_signal_connect(calendar, "backend-died", G_CALLBACK(onBackendDied), this);
    clients.emplace(uid, calendar);
    return calendar;
  }

  ECalClient* client(const std::string& uid, GCancellable* cancellable) {
    if (auto found = clients.find(uid); found != clients.end()) return found->second;
    ESource* source = e_source_registry_ref_source(registry, uid.c_str());
    if (source == nullptr) return nullptr;
    ECalClient* found = client(source, cancellable);
    g_object_unref(source);
    return found;
  }

  Listing listing(GCancellable* cancellable) {
    Listing out;
    GList* sources = e_source_registry_list_enabled(registry, E_SOURCE_EXTENSION_CALENDAR);
    for (GList* link = sources; link != nullptr; link = link->next) {
      auto* source = static_cast<ESource*>(link->data);
      auto* extension = e_source_get_extension(source, E_SOURCE_EXTENSION_CALENDAR);
      CalendarInfo info;
      info.uid = e_source_get_uid(source);
      info.title = takeString(e_source_dup_display_name(source));
      info.color = takeString(e_source_selectable_dup_color(E_SOURCE_SELECTABLE(extension)));
      info.sourceTitle = sourceTitleOf(registry, source);
      const char* backend = e_source_backend_get_backend_name(E_SOURCE_BACKEND(extension));
      info.sourceType = sourceTypeOf(source, backend != nullptr ? backend : "");
      if (e_source_has_extension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND)) {
        addAddresses(info.addresses,
                     takeString(e_source_webdav_dup_email_address(static_cast<ESourceWebdav*>(
                         e_source_get_extension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND)))));
      }
      if (e_source_has_extension(source, E_SOURCE_EXTENSION_MAIL_IDENTITY)) {
        addAddresses(
            info.addresses,
            takeString(e_source_mail_identity_dup_address(static_cast<ESourceMailIdentity*>(
                e_source_get_extension(source, E_SOURCE_EXTENSION_MAIL_IDENTITY)))));
      }
      // Subscriptions and birthdays never take changes: their backends are not started.
      if (info.sourceType != kSubscribed && info.sourceType != kBirthdays) {
        if (ECalClient* calendar = client(source, cancellable)) {
          info.writable = !e_client_is_readonly(E_CLIENT(calendar));
          gchar* address = nullptr;
          if (e_client_get_backend_property_sync(E_CLIENT(calendar),
                                                 E_CAL_BACKEND_PROPERTY_CAL_EMAIL_ADDRESS, &address,
                                                 cancellable, nullptr)) {
            addAddresses(info.addresses, takeString(address));
          }
        }
      }
      out.calendars.push_back(std::move(info));
    }
    g_list_free_full(sources, g_object_unref);
    // The registry sorts by display name with ties in hash order: sort again, stably.
    std::sort(out.calendars.begin(), out.calendars.end(),
              [](const CalendarInfo& a, const CalendarInfo& b) { return a.uid < b.uid; });
    if (ESource* fallback = e_source_registry_ref_default_calendar(registry)) {
      if (e_source_get_enabled(fallback) &&
          e_source_has_extension(fallback, E_SOURCE_EXTENSION_CALENDAR)) {
        out.defaultUid = e_source_get_uid(fallback);
      }
      g_object_unref(fallback);
    }
    return out;
  }

  // One text per event UID: the VTIMEZONEs its components name, then its VEVENTs.
  void appendItems(const std::string& sourceUid, Instant start, Instant end,
                   GCancellable* cancellable, std::vector<ItemText>& out) {
    ECalClient* calendar = client(sourceUid, cancellable);
    if (calendar == nullptr) return;
    GSList* found = nullptr;
    if (!e_cal_client_get_object_list_sync(calendar, rangeQuery(start, end).c_str(), &found,
                                           cancellable, nullptr)) {
      return;
    }
    std::vector<std::string> order;
    std::map<std::string, std::vector<icalcomponent*>> byUid;
    std::set<std::string> repeating;
    for (GSList* link = found; link != nullptr; link = link->next) {
      icalcomponent* component = nativeOf(static_cast<ICalComponent*>(link->data));
      if (icalcomponent_isa(component) != ICAL_VEVENT_COMPONENT) continue;
      const char* uid = icalcomponent_get_uid(component);
      std::string key = uid != nullptr ? uid : "";
      auto [entry, added] = byUid.try_emplace(key);
      if (added) order.push_back(key);
      entry->second.push_back(component);
      if (isRepeatingOrOverride(component)) repeating.insert(key);
    }
    for (const std::string& uid : order) {
      // A series needs every override, including those moved out of the window, or the
      // occurrence they replace would come back at its original time.
      GSList* series = nullptr;
      std::vector<icalcomponent*> components = byUid[uid];
      if (repeating.contains(uid) && !uid.empty() &&
          e_cal_client_get_objects_for_uid_sync(calendar, uid.c_str(), &series, cancellable,
                                                nullptr)) {
        components.clear();
        for (GSList* link = series; link != nullptr; link = link->next) {
          ICalComponent* component =
              e_cal_component_get_icalcomponent(static_cast<ECalComponent*>(link->data));
          if (component != nullptr) components.push_back(nativeOf(component));
        }
      }
      std::set<std::string> tzids;
      for (icalcomponent* component : components) collectTzids(component, tzids);
      std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//vandrelis//eds//EN\r\n";
      for (const std::string& tzid : tzids) {
        ICalTimezone* zone = nullptr;  // owned by the client
        if (!e_cal_client_get_timezone_sync(calendar, tzid.c_str(), &zone, cancellable, nullptr) ||
            zone == nullptr) {
          continue;  // the expander resolves the name itself
        }
        auto* native = static_cast<icaltimezone*>(i_cal_object_get_native(I_CAL_OBJECT(zone)));
        if (icalcomponent* definition = icaltimezone_get_component(native))
          text += icalText(definition);
      }
      for (icalcomponent* component : components) text += icalText(component);
      text += "END:VCALENDAR\r\n";
      out.push_back({sourceUid, uid, std::move(text)});
      g_slist_free_full(series, g_object_unref);
    }
    g_slist_free_full(found, g_object_unref);
  }

  // Change notices.

  static void onBackendDied(EClient* died, gpointer data) {
    auto* state = static_cast<GlibState*>(data);
    const std::shared_ptr<GlibState> keep = state->weak_from_this().lock();
    if (!keep) return;
    auto found = std::find_if(state->clients.begin(), state->clients.end(),
                              [died](const auto& entry) { return E_CLIENT(entry.second) == died; });
    if (found != state->clients.end()) {
      // Out of the maps before they are released (see releaseEds).
      const std::string uid = found->first;
      ECalClient* client = found->second;
      state->clients.erase(found);
      if (auto view = state->views.find(uid); view != state->views.end()) {
        ECalClientView* dropped = view->second;
        state->views.erase(view);
        state->dropView(dropped);
      }
      g_signal_handlers_disconnect_by_data(client, state);
      g_object_unref(client);
    }
    state->scheduleNotice(true);
  }

  static void onSourceSignal(ESourceRegistry*, ESource*, gpointer data) {
    static_cast<GlibState*>(data)->scheduleNotice(true);
  }

  static void onObjects(ECalClientView*, gpointer, gpointer data) {
    static_cast<GlibState*>(data)->scheduleNotice(false);
  }

  static gboolean onNoticeDue(gpointer data) {
    auto* state = static_cast<GlibState*>(data);
    g_source_unref(state->pendingNotice);
    state->pendingNotice = nullptr;
    if (state->refreshNeeded) {
      state->refreshNeeded = false;
      state->refreshViews(nullptr);
    }
    if (state->onChange) state->onChange();
    return G_SOURCE_REMOVE;
  }

  // A burst of signals (a sync writes many objects) gives one notice.
  void scheduleNotice(bool refresh) {
    if (!observing) return;
    refreshNeeded = refreshNeeded || refresh;
    if (pendingNotice != nullptr) return;
    pendingNotice = g_timeout_source_new(100);
    g_source_set_callback(pendingNotice, onNoticeDue, this, nullptr);
    g_source_attach(pendingNotice, g_main_context_get_thread_default());
  }

  void beginObserving(std::function<void()> handler, GCancellable* cancellable) {
    if (observing) return;
    observing = true;
    onChange = std::move(handler);
    for (const char* signal : {"source-added", "source-removed", "source-changed", "source-enabled",
                               "source-disabled"}) {
      registryHandlers.push_back(
          g_signal_connect(registry, signal, G_CALLBACK(onSourceSignal), this));
    }
    refreshViews(cancellable);
  }

  // A view on every enabled calendar; views of calendars no longer listed are dropped.
  void refreshViews(GCancellable* cancellable) {
    std::set<std::string> enabled;
    GList* sources = e_source_registry_list_enabled(registry, E_SOURCE_EXTENSION_CALENDAR);
    for (GList* link = sources; link != nullptr; link = link->next) {
      auto* source = static_cast<ESource*>(link->data);
      std::string uid = e_source_get_uid(source);
      enabled.insert(uid);
      if (views.contains(uid)) continue;
      ECalClient* calendar = client(source, cancellable);
      if (calendar == nullptr) continue;
      ECalClientView* view = nullptr;
      if (!e_cal_client_get_view_sync(calendar, "#t", &view, cancellable, nullptr)) continue;
      // Only later changes: the objects already there are no news.
      e_cal_client_view_set_flags(view, E_CAL_CLIENT_VIEW_FLAGS_NONE, nullptr);
      for (const char* signal : {"objects-added", "objects-modified", "objects-removed"})
        g_signal_connect(view, signal, G_CALLBACK(onObjects), this);
      e_cal_client_view_start(view, nullptr);
      views.emplace(uid, view);
    }
    g_list_free_full(sources, g_object_unref);
    std::erase_if(views, [&](const auto& entry) {
      if (enabled.contains(entry.first)) return false;
      dropView(entry.second);
      return true;
    });
  }
};

struct EdsStore::Session {
  GlibThread thread;
  std::shared_ptr<GlibState> state = std::make_shared<GlibState>();

  ~Session() {
    // A thread that may be stuck is left alone; otherwise the GLib objects go on their own
    // thread (the state's last reference is the task's), within a short bound, since stopping
    // a view is a call to the calendar factory.
    if (thread.timedOut()) return;
    thread.run([state = std::move(state)](GCancellable*) mutable { state.reset(); },
               std::chrono::milliseconds(1000));
  }
};

EdsCalendar::EdsCalendar(std::string sourceUid, std::string title,
                         std::optional<CalendarColor> color,
                         std::shared_ptr<const EdsSource> source, bool writable,
                         std::vector<std::string> ownAddresses)
    : sourceUid_(std::move(sourceUid)),
      identifier_(std::string(kEdsIdentifierPrefix) + sourceUid_),
      title_(std::move(title)),
      color_(std::move(color)),
      source_(std::move(source)),
      writable_(writable),
      ownAddresses_(std::move(ownAddresses)) {}

bool EdsCalendar::isOwnAddress(std::string_view address) const {
  std::string key = lowerAscii(address);
  return std::find(ownAddresses_.begin(), ownAddresses_.end(), key) != ownAddresses_.end();
}

EdsStore::EdsStore(Bounds bounds) : bounds_(bounds) {}

EdsStore::~EdsStore() = default;

std::shared_ptr<EdsStore::Session> EdsStore::session() const {
  std::lock_guard lock(mutex_);
  if (unavailable_) return nullptr;
  if (session_) return session_;
  // Both checks are a few file look-ups; starting GLib and asking the bus costs far more.
  if (!edsSessionBusPresent() || !edsRegistryInstalled()) {
    unavailable_ = true;
    return nullptr;
  }
  auto created = std::make_shared<Session>();
  std::optional<bool> connected = created->thread.call(
      [state = created->state](GCancellable* cancellable) {
        return state->connectRegistry(cancellable);
      },
      bounds_.connect);
  if (!connected || !*connected) {
    unavailable_ = true;
    return nullptr;
  }
  session_ = std::move(created);
  return session_;
}

template <class F>
auto EdsStore::onGlibThread(F task) const {
  using Result = std::optional<std::invoke_result_t<F&, GlibState&, GCancellable*>>;
  std::shared_ptr<Session> current = session();
  if (!current) return Result();
  auto result = current->thread.call(
      [state = current->state, task = std::move(task)](GCancellable* cancellable) mutable {
        if (!state->reachable()) return Result();
        Result value = task(*state, cancellable);
        // The bus closed during the call: what it gathered may lack what the failed calls would
        // have brought, so none of it counts.
        return state->reachable() ? std::move(value) : Result();
      },
      bounds_.call);
  if (!result || !*result) {
    // A call that outlives its bound means EDS is not answering, and a closed bus that it has
    // gone: no more waiting on it.
    std::lock_guard lock(mutex_);
    unavailable_ = true;
    return Result();
  }
  return std::move(*result);
}

namespace {

std::vector<std::shared_ptr<const EdsCalendar>> calendarsOf(std::vector<CalendarInfo> infos) {
  std::vector<std::shared_ptr<const EdsCalendar>> out;
  for (CalendarInfo& info : infos) {
    auto source = std::make_shared<EdsSource>(std::move(info.sourceTitle), info.sourceType);
    out.push_back(std::make_shared<EdsCalendar>(std::move(info.uid), std::move(info.title),
                                                parseEdsColor(info.color), std::move(source),
                                                info.writable, std::move(info.addresses)));
  }
  return out;
}

}  // namespace

CalendarList EdsStore::calendarsForEvents() const {
  auto listing = onGlibThread(
      [](GlibState& state, GCancellable* cancellable) { return state.listing(cancellable); });
  if (!listing) return {};
  auto calendars = calendarsOf(std::move(listing->calendars));
  return CalendarList(calendars.begin(), calendars.end());
}

std::shared_ptr<const Calendar> EdsStore::defaultCalendarForNewEvents() const {
  auto listing = onGlibThread(
      [](GlibState& state, GCancellable* cancellable) { return state.listing(cancellable); });
  if (!listing || !listing->defaultUid) return nullptr;
  for (auto& calendar : calendarsOf(std::move(listing->calendars))) {
    if (calendar->sourceUid() == *listing->defaultUid) return calendar;
  }
  return nullptr;
}

EventList EdsStore::eventsMatching(Instant start, Instant end,
                                   const CalendarList& calendars) const {
  std::map<std::string, std::shared_ptr<const EdsCalendar>> wanted;
  for (const auto& calendar : calendars) {
    if (auto eds = std::dynamic_pointer_cast<const EdsCalendar>(calendar))
      wanted.try_emplace(eds->sourceUid(), std::move(eds));
  }
  if (wanted.empty()) return {};
  std::vector<std::string> uids;
  for (const auto& [uid, calendar] : wanted) uids.push_back(uid);
  auto items = onGlibThread([uids, start, end](GlibState& state, GCancellable* cancellable) {
    std::vector<ItemText> out;
    for (const std::string& uid : uids) state.appendItems(uid, start, end, cancellable, out);
    return out;
  });
  if (!items) return {};

  VdirEventList found;
  for (const ItemText& item : *items) {
    const std::shared_ptr<const EdsCalendar>& calendar = wanted.at(item.sourceUid);
    IcsItem context{
        calendar, calendar->calendarIdentifier() + "/" + item.eventUid,
        [calendar](std::string_view address) { return calendar->isOwnAddress(address); }};
    appendIcsOccurrences(item.text, context, start, end, found);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return occursBefore(*a, *b); });
  return EventList(found.begin(), found.end());
}

void EdsStore::beginObservingChanges() {
  const void* sender = this;
  onGlibThread([sender](GlibState& state, GCancellable* cancellable) {
    state.beginObserving(
        [sender] { NotificationCenter::defaultCenter().post(kStoreChangedNotification, sender); },
        cancellable);
    return true;
  });
}

}  // namespace vandrelis::store
