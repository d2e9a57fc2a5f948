// Whether Evolution Data Server can be there at all, decided without starting GLib.
#pragma once

namespace vandrelis::store {

// True when the session bus's socket exists (or the bus uses a transport that cannot be
// checked without connecting).
bool edsSessionBusPresent();
// True when the session bus can start the source registry: its service file is in one of the
// bus's standard service directories.
bool edsRegistryInstalled();

}  // namespace vandrelis::store
