# Sourced by the scripts that need a session bus of their own: a real dbus-daemon whose
# socket and configuration live in a directory the caller owns, so the user's bus is never
# touched.
#
#   start_private_bus DIR [SERVICE_DIR]   starts it, exports DBUS_SESSION_BUS_ADDRESS and
#                                         sets private_bus_pid; returns 1 when it fails
#   stop_private_bus                      stops it (safe to call twice, or before start)

private_bus_pid=

start_private_bus() {
  local dir=$1 services=${2:-}
  local servicedir=
  [[ -n $services ]] && servicedir="<servicedir>$services</servicedir>"
  cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  $servicedir
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  # --fork returns once the daemon listens and has written its address and pid.
  dbus-daemon --config-file="$dir/bus.conf" --fork --print-address=3 --print-pid=4 \
    3>"$dir/bus.address" 4>"$dir/bus.pid" 2>/dev/null || return 1
  private_bus_pid=$(<"$dir/bus.pid")
  DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$dir/bus.address")
  export DBUS_SESSION_BUS_ADDRESS
}

stop_private_bus() {
  if [[ -n $private_bus_pid ]]; then
    kill "$private_bus_pid" 2>/dev/null || true
    private_bus_pid=
  fi
}
