#!/usr/bin/env bash
# Runs a command with Evolution Data Server on a private session bus: HOME and the XDG
# directories under DIR (created empty), and a bus whose only services are the stock source
# registry, calendar factory and dconf. Nothing of the user's own EDS is read or changed.
# Usage: eds_session.sh DIR command [arguments...]
set -euo pipefail
dir=$1
shift
mkdir -p "$dir/home" "$dir/config" "$dir/data" "$dir/cache" "$dir/services"
mkdir -p -m 700 "$dir/runtime"
for name in org.gnome.evolution.dataserver.Sources5 org.gnome.evolution.dataserver.Calendar8 \
  ca.desrt.dconf; do
  ln -sf "/usr/share/dbus-1/services/$name.service" "$dir/services/$name.service"
done
cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$dir/runtime</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$dir/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
export HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" XDG_DATA_HOME="$dir/data"
export XDG_CACHE_HOME="$dir/cache" XDG_RUNTIME_DIR="$dir/runtime"
unset DISPLAY WAYLAND_DISPLAY
exec dbus-run-session --config-file="$dir/bus.conf" -- "$@"
