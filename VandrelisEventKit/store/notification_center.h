// A process-wide notification center: stores post their change notice here with themselves as
// the sender, and observers register for a name and, optionally, one sender.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vandrelis::store {

inline constexpr const char* kStoreChangedNotification = "EKEventStoreChangedNotification";

class NotificationCenter {
 public:
  using Handler = std::function<void()>;
  using Token = std::uint64_t;

  static NotificationCenter& defaultCenter();

  // A null sender accepts notifications from every sender.
  Token addObserver(std::string name, const void* sender, Handler handler);
  void removeObserver(Token token);
  // Runs the matching handlers synchronously on the calling thread.
  void post(const std::string& name, const void* sender);

 private:
  struct Registration {
    Token token;
    std::string name;
    const void* sender;
    Handler handler;
  };
  std::mutex mutex_;
  std::vector<Registration> registrations_;
  Token nextToken_ = 1;
};

}  // namespace vandrelis::store
