#!/usr/bin/env bash
# What the desktop user gets, told as a timeline: the real quillbeam-companion pausing a
# stand-in "Discord" (a sleep process) for exactly as long as a strict focus session shields
# it. Everything runs in a throwaway cgroup v2 tree laid out like a user's manager, on a
# private session bus; the bridge starts the companion by D-Bus activation, and a scripted
# extension (scripts/companion_demo.py) drives the session: the pause, a break, back from it,
# `quillbeam allow`, the session's end, SIGTERM.
#
# Usage: scripts/companion-demo.sh [build-dir]     (default: build/ci, already built)
# Needs root and a writable cgroup v2 mount; without them it says why and exits 0. Whatever
# happens (failure, Ctrl-C), everything it made is removed on exit: the companion is
# stopped, the tree thawed, the processes it started killed, the cgroups removed, the bus
# stopped. It pauses nothing outside its own tree.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(realpath -e "${1:-build/ci}") || exit 1
for program in bridge/quillbeam_bridge companion/quillbeam-companion tools/quillbeam; do
  if [[ ! -x $build/$program ]]; then
    echo "companion-demo: $build/$program is not built" >&2
    exit 1
  fi
done
skip() {
  echo "Skipped: $1."
  exit 0
}
[[ $(id -u) -eq 0 ]] || skip "making and freezing cgroups needs root"
# Field 5 is the mount point of the first cgroup2 line (after " - ", the type).
mount=$(awk '{ for (i = 7; i <= NF; i++) if ($i == "-") {
                 if ($(i + 1) == "cgroup2") print $5
                 break
               } }' /proc/self/mountinfo | head -n1)
[[ -n $mount ]] || skip "no cgroup v2 mount in /proc/self/mountinfo"

source scripts/private-bus.sh
root='' work='' extension=''

procs_of() { cat "$1/cgroup.procs" 2>/dev/null || true; }
# Waits up to ~5 s for every process in cgroup $1 to be gone.
wait_empty() {
  for _ in $(seq 50); do
    [[ -z $(procs_of "$1") ]] && return 0
    sleep 0.1
  done
  return 1
}
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  set +e
  [[ -n $extension ]] && kill "$extension" 2>/dev/null && wait "$extension" 2>/dev/null
  if [[ -n $root ]]; then
    # The companion first, so that it resumes what it paused on its own way out.
    local pids
    pids=$(procs_of "$companion_cgroup")
    # shellcheck disable=SC2086 # one word per process
    [[ -n $pids ]] && kill -TERM $pids 2>/dev/null
    wait_empty "$companion_cgroup" || true
    # Only this tree, and everything in it is ours: thaw it all, then end what is left.
    find "$root" -name cgroup.freeze -exec sh -c 'echo 0 >"$1"' _ {} \; 2>/dev/null || true
    if [[ -e $root/cgroup.kill ]]; then
      echo 1 >"$root/cgroup.kill"
    else
      while read -r pid; do
        kill -KILL "$pid"
      done < <(find "$root" -name cgroup.procs -exec cat {} +)
    fi
    while read -r cgroup; do
      wait_empty "$cgroup" || echo "companion-demo: processes left in $cgroup" >&2
      rmdir "$cgroup" || status=1
    done < <(find "$root" -depth -type d)
  fi
  stop_private_bus
  [[ -n $work ]] && rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

root=$(mktemp -d "$mount/quillbeam-demo-XXXXXX" 2>/dev/null) ||
  skip "cannot make a cgroup under $mount"
[[ -e $root/cgroup.freeze ]] || skip "the kernel's cgroup v2 has no freezer (cgroup.freeze)"
work=$(mktemp -d /tmp/quillbeam-companion-demo-XXXXXX)
manager=$root/user.slice/user-0.slice/user@0.service
companion_cgroup=$manager/session.slice/quillbeam-companion.service
discord_cgroup=$manager/app.slice/app-flatpak-com.discordapp.Discord-4242.scope
mkdir -p "$companion_cgroup" "$discord_cgroup" "$work/services" "$work/home/.config" "$work/runtime"

# The stand-in Discord, started inside its unit as a desktop starts a Flatpak app.
(echo "$BASHPID" >"$discord_cgroup/cgroup.procs" && exec sleep 3600) &
disown  # ended with the tree, quietly

# Known to the bus from its start: one written later is seen only once the bus has reloaded.
cat >"$work/services/com.quillbeam.mac.service" <<SERVICE
[D-BUS Service]
Name=com.quillbeam.mac
Exec=/bin/bash $work/companion.sh
SERVICE
if ! start_private_bus "$work" "$work/services"; then
  echo "companion-demo: the private bus did not start" >&2
  exit 1
fi
# The companion runs in its own unit of the demo's manager, as its user unit would, with
# this demo's files. Where the move fails it does not start at all: outside the demo's tree
# it would look for the machine's own user manager instead.
q() { printf '%q' "$1"; }
cat >"$work/companion.sh" <<WRAPPER
#!/bin/bash
exec 2>>$(q "$work/companion.log")
echo \$\$ >$(q "$companion_cgroup/cgroup.procs") &&
  [[ \$(</proc/self/cgroup) == *$(q "/${companion_cgroup#"$mount/"}") ]] ||
  { echo 'wrapper: not started, could not move into the demo tree' >&2; exit 1; }
export HOME=$(q "$work/home") XDG_RUNTIME_DIR=$(q "$work/runtime") \\
  XDG_CONFIG_HOME=$(q "$work/home/.config") \\
  DBUS_SESSION_BUS_ADDRESS=$(q "$DBUS_SESSION_BUS_ADDRESS")
exec $(q "$build/companion/quillbeam-companion")
WRAPPER

printf 'Tree:      %s\nCompanion: %s\n\n' "$root" "$build/companion/quillbeam-companion"
HOME=$work/home XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/home/.config \
  python3 scripts/companion_demo.py "$build" "$root" "$work" &
extension=$!
wait "$extension"
extension=
