#!/usr/bin/env bash
# Cost of the helper's commands with GNOME's calendars (EDS running on a private bus, already
# started) and without them (no session bus at all; a bus that cannot start EDS although its
# service file is installed; EDS's service file not found, as when it is not installed), on
# the sample vdir tree plus one EDS calendar. Needs hyperfine.
# Usage: bench/eds_cost.sh [helper]   (default: build/VandrelisEventKit/vandrelis-eventkit)
set -euo pipefail
cd "$(dirname "$0")/.."
helper=$(realpath "${1:-build/VandrelisEventKit/vandrelis-eventkit}")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/config/evolution/sources" "$dir/data/evolution/calendar/team-rota" \
  "$dir/data/vandrelis" "$dir/empty/services"
cp samples/eds/team-rota.source "$dir/config/evolution/sources/"
cp samples/eds/team-rota.ics "$dir/data/evolution/calendar/team-rota/calendar.ics"
cp -r samples/calendars "$dir/data/vandrelis/calendars"
cat >"$dir/empty/bus.conf" <<CONF
<busconfig><type>session</type><listen>unix:dir=$dir/empty</listen><auth>EXTERNAL</auth>
<servicedir>$dir/empty/services</servicedir><policy context="default">
<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
</policy></busconfig>
CONF
week=(snapshot --start 2024-05-13T00:00:00.000Z --end 2024-05-20T00:00:00.000Z
  --calendar work/meetings --calendar personal/home --calendar holidays/public)

# Inside the private EDS session: the three commands three ways each.
VandrelisEventKit/tests/store/eds/eds_session.sh "$dir" bash -c '
  helper=$1 dir=$2
  shift 2
  week="$*"
  "$helper" list-calendars >/dev/null   # starts the registry and the calendar factory
  eds_bus=$DBUS_SESSION_BUS_ADDRESS
  dbus-daemon --config-file="$dir/empty/bus.conf" --nofork --print-address=3 3>"$dir/empty/address" &
  empty_bus_pid=$!
  trap "kill $empty_bus_pid" EXIT
  until [ -s "$dir/empty/address" ]; do sleep 0.05; done
  empty_bus=$(head -1 "$dir/empty/address")
  for command in status list-calendars "$week --calendar eds:team-rota"; do
    hyperfine -N --warmup 3 --runs 30 --style basic \
      -n "EDS running" "env DBUS_SESSION_BUS_ADDRESS=$eds_bus $helper $command" \
      -n "no bus" "env DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent $helper $command" \
      -n "bus without EDS" "env DBUS_SESSION_BUS_ADDRESS=$empty_bus $helper $command" \
      -n "EDS not installed" "env XDG_DATA_DIRS=$dir/empty $helper $command"
  done
' bench "$helper" "$dir" "${week[@]}" 2>"$dir/bus.log"
