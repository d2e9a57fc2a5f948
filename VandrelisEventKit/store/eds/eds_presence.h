// Whether Evolution Data Server can be there at all, decided without starting GLib.
#pragma once

#include <string>
#include <string_view>

namespace vandrelis::store {

// True when the session bus's socket exists (or the bus uses a transport that cannot be
// checked without connecting).
bool edsSessionBusPresent();
// True when the session bus can start the source registry: its service file is in one of the
// bus's standard service directories.
bool edsRegistryInstalled();

// The directory of the running executable (/proc/self/exe), with a trailing "/"; empty when
// that cannot be read.
std::string executableDirectory();

}  // namespace vandrelis::store
