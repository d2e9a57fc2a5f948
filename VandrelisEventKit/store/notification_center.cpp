// Registrations are copied out under the lock and the handlers run without it, so a handler
// may post or register without deadlocking.
#include "store/notification_center.h"

#include <algorithm>

namespace vandrelis::store {

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter();  // never destroyed: posts may
  return *center;                                                 // come from late threads
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* sender,
                                                          Handler handler) {
  std::lock_guard lock(mutex_);
  Token token = nextToken_++;
  registrations_.push_back({token, std::move(name), sender, std::move(handler)});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard lock(mutex_);
  std::erase_if(registrations_, [token](const Registration& r) { return r.token == token; });
}

void NotificationCenter::post(const std::string& name, const void* sender) {
  std::vector<Handler> handlers;
  {
    std::lock_guard lock(mutex_);
    for (const Registration& r : registrations_) {
      if (r.name == name && (r.sender == nullptr || r.sender == sender)) {
        handlers.push_back(r.handler);
      }
    }
  }
  for (const Handler& handler : handlers) handler();
}

}  // namespace vandrelis::store
