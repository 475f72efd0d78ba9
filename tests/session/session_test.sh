#!/usr/bin/env bash
# The whole chain as a desktop runs it, inside a real systemd (Debian 12's) with a real user
# manager and session bus: the project's Debian packages installed in a container booted by
# scripts/systemd-session.sh, apps started in their own scopes as a desktop starts them, the
# bridge started by a stand-in browser in its scope with a strict focus session on its pipes,
# and the companion started by D-Bus activation through its user unit. Every process paused
# here is one this test started, inside a container it booted and powers off at the end.
#
# Environment:
#   QUILLBEAM_SESSION_PACKAGES  folder with the packages (default: scripts/package.sh builds them)
#   QUILLBEAM_SESSION_NOTIFIER  the stand-in notification server (tests/session/notification_server)
#   QUILLBEAM_REQUIRE_SYSTEMD_SESSION=1 or CI=true: a machine that cannot boot the container
#                               fails the test instead of skipping it (exit 77).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
# shellcheck source=scripts/systemd-session.sh source-path=SCRIPTDIR/../..
source "$project/scripts/systemd-session.sh"

user=$session_user
uid=$session_uid
home=/home/$user
manager=user.slice/user-$uid.slice/user@$uid.service
app_slice=
companion_unit=quillbeam-companion.service
discord=app-flatpak-com.discordapp.Discord-4242.scope
editor=app-gnome-org.gnome.TextEditor-1.scope
browser=app-gnome-chromium-1111.scope
steam=app-gnome-steam-77.scope

required=0
[[ ${QUILLBEAM_REQUIRE_SYSTEMD_SESSION:-0} == 1 || ${CI:-} == true ]] && required=1
cannot_run() {
  if ((required)); then
    echo "session_test: FAILED: cannot run: $*"
    exit 1
  fi
  echo "session_test: SKIP: $*"
  exit 77
}
diagnose() {
  [[ -n ${session_pid:-} ]] || return 0
  echo "---- the companion's journal"
  session_root_run journalctl --no-pager -q -o short-monotonic \
    _SYSTEMD_USER_UNIT="$companion_unit" 2>&1 | tail -n 40
  echo "---- the bridge's standard error"
  tail -n 20 "$run/root$home/browser/bridge.log" 2>/dev/null
  echo "---- what the bridge said"
  declare -F bridge_said >/dev/null && bridge_said
  echo "---- notifications"
  cat "$run/root$home/notifications" 2>/dev/null
  echo "---- app.slice"
  declare -F frozen_units >/dev/null && frozen_units
}
fatal() {
  echo "session_test: FAILED: $*"
  diagnose
  exit 1
}

if reason=$(session_unavailable); then cannot_run "$reason"; fi
notifier=${QUILLBEAM_SESSION_NOTIFIER:-}
[[ -x $notifier ]] || fatal "no stand-in notification server (QUILLBEAM_SESSION_NOTIFIER='$notifier')"

started=$SECONDS
passed=0
failed=0
failures=()
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what" && passed=$((passed + 1))
  else
    echo "FAILED: $what" && failed=$((failed + 1)) && failures+=("$what")
  fi
}
# Bounded wait for a condition (not a timing requirement: the condition is what is tested).
eventually() {
  local deadline=$((SECONDS + 30))
  until "$@"; do
    ((SECONDS >= deadline)) && return 1
    sleep 0.1
  done
}

run=$(mktemp -d /var/tmp/quillbeam-session-run.XXXXXX)
session_run=$run
session_pid=
trap 'session_teardown "$run"' EXIT
trap 'exit 130' INT TERM

# ---- the packages
if [[ -n ${QUILLBEAM_SESSION_PACKAGES:-} ]]; then
  packages=$QUILLBEAM_SESSION_PACKAGES
else
  echo "session_test: building the packages (scripts/package.sh)"
  "$project/scripts/package.sh" >/dev/null || fatal "scripts/package.sh failed"
  packages=$project/build/package/packages
fi
version=$(sed -nE 's/^project\(Quillbeam VERSION ([0-9.]+).*/\1/p' "$project/CMakeLists.txt")
runtime_deb=$packages/quillbeam_${version}-1_$(dpkg --print-architecture).deb
[[ -f $runtime_deb ]] || fatal "no package $runtime_deb"

# ---- the container: the runtime package (which recommends only a session bus, there
# already), the stand-in notification server, booted with the user's manager up
session_prepare "$run" || fatal "could not lay out the container's root"
session_install_debs "$run" "$runtime_deb" || fatal "could not install $runtime_deb"
install -D -m 755 "$notifier" "$run/root/usr/local/libexec/quillbeam-test/notification-server"
install -d -o "$uid" -g "$uid" "$run/root$home/browser"
mkfifo "$run/root$home/browser/to-bridge"
chown "$uid:$uid" "$run/root$home/browser/to-bridge"
# Some machines cannot boot one (a chroot, a container of their own): the console says why.
session_boot "$run" || cannot_run "the container did not boot on this machine (its console is above)"
echo "session_test: booted with $(cat "$run/kind") root in $((SECONDS - started)) s"

app_slice=$(session_cgroup_of "$manager/app.slice")

user_run() { session_user_run "$@"; }
unit_property() { user_run systemctl --user show -p "$2" --value "$1"; }
# Starts a command detached in a scope of its own, as a desktop starts an app.
start_app() {
  local unit=$1
  shift
  user_run setsid -f systemd-run --user --quiet --scope --unit="$unit" -- "$@" \
    </dev/null >/dev/null 2>&1
  eventually test -f "$app_slice/$unit/cgroup.events"
}
frozen() { grep -qx 'frozen 1' "$app_slice/$1/cgroup.events" 2>/dev/null; }
thawed() { grep -qx 'frozen 0' "$app_slice/$1/cgroup.events" 2>/dev/null; }
# Every frozen cgroup under app.slice, one a line ("" when none).
frozen_units() {
  find "$app_slice" -name cgroup.events -exec grep -lx 'frozen 1' {} + 2>/dev/null |
    sed -e "s|^$app_slice/||" -e 's|/cgroup.events$||'
}
nothing_frozen() { [[ -d $app_slice && -z $(frozen_units) ]]; }

# The stand-in browser's side of the bridge's pipes: frames of a 4-byte little-endian
# length and JSON.
send() {
  python3 -c 'import struct, sys; b = sys.argv[1].encode(); sys.stdout.buffer.write(struct.pack("<I", len(b)) + b)' "$1" |
    user_run sh -c "cat >$home/browser/to-bridge"
}
bridge_said() {
  python3 - "$run/root$home/browser/from-bridge" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
while len(data) >= 4:
    (n,) = struct.unpack("<I", data[:4])
    if len(data) < 4 + n:
        break
    print(data[4:4 + n].decode())
    data = data[4 + n:]
EOF
}
# (Read whole before grep -q, which may stop reading early: under pipefail the writer's
# broken pipe would read as "not said".)
bridge_said_line() {
  local said
  said=$(bridge_said)
  grep -qxF "$1" <<<"$said"
}
told() { grep -qF "$1" "$run/root$home/notifications" 2>/dev/null; }

now_ms() { date +%s%3N; }
session_json() { # ID ENDS_AT [BREAK_UNTIL]
  local brk=${3:+,\"breakUntil\":$3}
  echo "{\"id\":\"$1\",\"goal\":\"Deep work\",\"mode\":\"timer\",\"strictness\":\"strict\",\"startedAt\":$(($(now_ms) - 60000)),\"endsAt\":$2$brk,\"milestonesDone\":0,\"milestonesTotal\":0,\"anchors\":[\"example.org\"],\"anchorUrl\":\"https://example.org/\"}"
}
state_json() { echo "{\"type\":\"state\",\"sentAt\":$(now_ms),\"session\":$1}"; }

companion_pid() { unit_property "$companion_unit" MainPID; }
companion_active() { [[ $(unit_property "$companion_unit" ActiveState) == active ]]; }
# The companion runs in its unit's cgroup: its own 0:: line is the unit's ControlGroup.
companion_in_its_unit() {
  local pid group own
  pid=$(companion_pid)
  group=$(unit_property "$companion_unit" ControlGroup)
  [[ $pid -gt 0 && -n $group ]] || return 1
  own=$(session_root_run sed -n 's/^0:://p' "/proc/$pid/cgroup")
  [[ $own == "$group" && $group == */app.slice/$companion_unit ]]
}
cli() { user_run quillbeam "$@" 2>&1; }
# What the companion recorded as paused, for its next start.
record_names() {
  local record
  record=$(session_root_run cat "/run/user/$uid/quillbeam/paused.json" 2>/dev/null)
  grep -qF "$1" <<<"$record"
}
record_lacks() { ! record_names "$1"; }

# ---- before anything: the unit is installed, nothing runs it yet
check "the companion's user unit is installed and not yet started" \
  test "$(unit_property "$companion_unit" LoadState)/$(unit_property "$companion_unit" ActiveState)" \
  = loaded/inactive

# A stand-in notification server on the session bus records what the user is told.
user_run setsid -f systemd-run --user --quiet --unit=quillbeam-test-notifications -- \
  /usr/local/libexec/quillbeam-test/notification-server "$home/notifications" \
  </dev/null >/dev/null 2>&1
eventually user_run busctl --user status org.freedesktop.Notifications >/dev/null 2>&1 ||
  fatal "the stand-in notification server did not take its name"

# ---- apps started as a desktop starts them
start_app "$discord" sleep infinity || fatal "could not start $discord"
start_app "$editor" sleep infinity || fatal "could not start $editor"
# The browser starts the bridge on pipes, in the browser's own scope.
start_app "$browser" sh -c "exec quillbeam_bridge chrome-extension://anaamofdcieamnmnkhkdbgikgmcpncak/ \
  <>$home/browser/to-bridge >$home/browser/from-bridge 2>$home/browser/bridge.log" ||
  fatal "could not start $browser"
bridge_in_browser_scope() {
  local pid
  while read -r pid; do
    [[ $(readlink "/proc/$pid/exe") == */usr/bin/quillbeam_bridge ]] && return 0
  done <"$app_slice/$browser/cgroup.procs"
  return 1
}
check "the bridge runs in the browser's scope" eventually bridge_in_browser_scope

send '{"type":"hello","protocol":1,"extensionVersion":"1.4.0"}'
check "the bridge answers the extension's hello as $version" \
  eventually bridge_said_line "{\"type\":\"hello\",\"protocol\":1,\"appVersion\":\"$version\"}"

# ---- a strict session: the bridge activates the companion through its user unit
hour=$(($(now_ms) + 3600000))
send "$(state_json "$(session_json s1 "$hour")")"
check "D-Bus activation started the companion's user unit" eventually companion_active
check "the companion runs in its unit's cgroup" companion_in_its_unit
check "Discord's scope is frozen" eventually frozen "$discord"
check "the user is told that Discord is paused" eventually told "Discord is paused"

apps=$(cli apps)
check "quillbeam apps lists Discord as paused" grep -qE '^Discord .* paused ' <<<"$apps"
check "quillbeam apps lists the editor, running" grep -qE '^TextEditor .* running ' <<<"$apps"
# The companion has made its decision for every app by the time it answers.
check "the editor's scope is not frozen" thawed "$editor"
check "the browser's scope, which holds the bridge, is not frozen" thawed "$browser"
check "the user is told why the browser is left running" eventually told "Chromium is left running"
check "the extension is told that Discord was blocked" \
  eventually bridge_said_line '{"type":"app-blocked","app":"Discord"}'

# ---- a break resumes, its end pauses again
send "$(state_json "$(session_json s1 "$hour" "$hour")")"
check "a break resumes Discord" eventually thawed "$discord"
send "$(state_json "$(session_json s1 "$hour")")"
check "back from the break, Discord is paused again" eventually frozen "$discord"
said_once() { [[ $(bridge_said | grep -cxF '{"type":"app-blocked","app":"Discord"}') == 1 ]]; }
check "the extension is told once per session, not again after the break" said_once

# ---- the companion killed: systemd restarts it and it takes over what it had paused
check "the companion's record names Discord's scope" record_names "$discord"
old_pid=$(companion_pid)
# shellcheck disable=SC2016 # the container's shell expands $1
session_root_run sh -c 'kill -KILL "$1"' sh "$old_pid"
check "kill -9 leaves Discord paused" frozen "$discord"
restarted() {
  local pid
  pid=$(companion_pid)
  companion_active && [[ $pid -gt 0 && $pid != "$old_pid" ]]
}
check "systemd restarts the companion after kill -9" eventually restarted
apps=$(cli apps)
check "after the restart, Discord is still paused" frozen "$discord"
check "after the restart, quillbeam apps lists Discord as paused" \
  grep -qE '^Discord .* paused ' <<<"$apps"
check "after the restart, the browser is not frozen" thawed "$browser"

# ---- an allowance through the restarted companion
allowed=$(cli allow Discord --minutes 5)
status=$?
echo "  quillbeam allow: $allowed"
check "quillbeam allow Discord --minutes 5 succeeds" test "$status" = 0
check "the allowance resumes Discord" thawed "$discord"
check "the record no longer names Discord's scope" record_lacks "$discord"

# ---- an app started during the session is paused; stopping the unit resumes everything
start_app "$steam" sleep infinity || fatal "could not start $steam"
check "an app started during the session (Steam) is paused" eventually frozen "$steam"
check "the user is told that Steam is paused" eventually told "Steam is paused"
user_run systemctl --user stop "$companion_unit"
check "systemctl --user stop stops the companion" \
  test "$(unit_property "$companion_unit" ActiveState)" = inactive
check "stopping the companion leaves nothing frozen in app.slice" nothing_frozen
# (cgroup files have no size: read them.)
still_run() { [[ -n $(<"$app_slice/$discord/cgroup.procs") && -n $(<"$app_slice/$steam/cgroup.procs") ]]; }
check "Discord and Steam still run after the companion stopped" still_run

# ---- the end: the browser closes the port; then the apps quit
user_run systemctl --user stop "$browser"
check "at the end nothing is frozen anywhere in app.slice" nothing_frozen
user_run systemctl --user stop "$discord" "$editor" "$steam"

((failed)) && diagnose
echo "session_test: $passed checks passed, $failed failed, in $((SECONDS - started)) s"
for failure in "${failures[@]}"; do echo "session_test: failed: $failure"; done
((failed == 0))
