#!/usr/bin/env bash
# A real systemd with a real user manager, for tests of the whole chain as a desktop runs it:
# a Debian 12 root, built once and cached, booted with systemd-nspawn from a throwaway cgroup
# on a copy-on-write overlay (so that no run changes the cache), with a user whose manager
# starts at boot (lingering) and the project's Debian packages installed.
#
# Source it for its functions (tests/session/session_test.sh does), or run it:
#   scripts/systemd-session.sh root    build the cached root if needed and print its folder
#   scripts/systemd-session.sh test    build the packages (scripts/package.sh) and the test
#                                      helpers, then run tests/session/session_test.sh
#
# The cache: $QUILLBEAM_SYSTEMD_ROOT_CACHE, default /var/tmp/quillbeam-systemd-root (outside
# the work tree, so that every clone and CI run on this machine shares it); a stamp file
# beside the root marks a complete build of the wanted package list, anything else is built
# again.
# Needs root, debootstrap, systemd-nspawn (package systemd-container) and a cgroup v2 mount.

session_suite=bookworm
# dbus: debootstrap takes no alternatives, and libpam-systemd needs a system bus. libicu72:
# what the project's runtime package needs beyond the base system, so that it installs
# offline (session_install_debs fetches anything else it comes to need).
session_include=(systemd systemd-sysv dbus dbus-user-session libpam-systemd libicu72)
session_user=quill
session_uid=1000
session_cache=${QUILLBEAM_SYSTEMD_ROOT_CACHE:-/var/tmp/quillbeam-systemd-root}
# The run's folder (session_prepare's argument) and the container's systemd, once booted.
session_run=${session_run:-}
session_pid=${session_pid:-}

session_log() { echo "systemd-session: $*" >&2; }

# Why the machine cannot boot a session (printed), or nothing and status 0.
session_unavailable() {
  if [[ $(id -u) -ne 0 ]]; then
    echo "booting a container needs root"
  elif ! command -v debootstrap >/dev/null; then
    echo "no debootstrap (scripts/install-deps.sh installs it)"
  elif ! command -v systemd-nspawn >/dev/null; then
    echo "no systemd-nspawn (package systemd-container; scripts/install-deps.sh installs it)"
  elif [[ -z $(session_cgroup2_mount) ]]; then
    echo "no cgroup v2 mount"
  else
    return 1
  fi
}

# Where cgroup2 is mounted in this mount namespace (/sys/fs/cgroup or .../unified).
session_cgroup2_mount() {
  awk '$9 == "cgroup2" { print $5; exit }' /proc/self/mountinfo
}

# The Debian mirror this machine's apt uses for the suite (QUILLBEAM_DEBIAN_MIRROR wins):
# the first source, one-line or deb822, that serves it.
session_mirror() {
  if [[ -n ${QUILLBEAM_DEBIAN_MIRROR:-} ]]; then
    echo "$QUILLBEAM_DEBIAN_MIRROR"
    return
  fi
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $file ]] || continue
    # "deb [OPTIONS] URI SUITE COMPONENT..."
    awk -v suite="$session_suite" '$1 == "deb" { sub(/\[[^]]*\][ \t]*/, "")
        if ($3 == suite) { print $2; exit } }' "$file"
  done | head -n1 | grep . && return
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f $file ]] || continue
    awk -v suite="$session_suite" 'BEGIN { RS = ""; FS = "\n" } {
        uris = ""; serves = 0
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^URIs:/) { uris = $i; sub(/^URIs:[ \t]*/, "", uris) }
          if ($i ~ /^Suites:/) { n = split($i, s, /[ \t]+/); for (j = 2; j <= n; j++) if (s[j] == suite) serves = 1 }
        }
        if (serves && uris != "") { split(uris, u, /[ \t]+/); print u[1]; exit } }' "$file"
  done | head -n1 | grep . && return
  echo "http://deb.debian.org/debian"
}

# Removes a folder made here, first unmounting what debootstrap may have left mounted in it
# (/proc, /sys), and never crossing into another file system.
session_remove_tree() {
  local dir=$1 mount
  [[ -e $dir ]] || return 0
  dir=$(realpath "$dir")
  awk -v dir="$dir" '$5 == dir || index($5, dir "/") == 1 { print $5 }' /proc/self/mountinfo |
    sort -r | while IFS= read -r mount; do umount "$mount" 2>/dev/null || umount -l "$mount"; done
  rm -rf --one-file-system "$dir"
}

# What the stamp says of a complete root: the suite and the packages asked for.
session_stamp_text() {
  echo "suite=$session_suite include=${session_include[*]} user=$session_user:$session_uid"
}

# Builds the cached root unless a complete one is there; prints its folder. One build at a
# time: others wait on the lock and then find it done. Each package list has a folder of its
# own, so that a build for another list never pulls a root from under a running container;
# roots of other lists that no container uses are removed.
session_build_root() {
  local key root stamp lock started mirror include other
  key=$(session_stamp_text | sha256sum | cut -c1-12)
  root=$session_cache/root-$key
  stamp=$root.stamp
  mkdir -p "$session_cache" || return 1
  exec {lock}>"$session_cache/lock"
  flock "$lock"
  if [[ -d $root && -f $stamp && $(head -n1 "$stamp") == "$(session_stamp_text)" ]]; then
    exec {lock}>&-
    echo "$root"
    return 0
  fi
  started=$(date +%s)
  mirror=$(session_mirror)
  session_log "building the Debian $session_suite root in $root from $mirror (once; cached)"
  rm -f "$stamp"
  session_remove_tree "$root"
  session_remove_tree "$root.partial"
  include=$(IFS=,; echo "${session_include[*]}")
  if ! debootstrap --variant=minbase --include="$include" "$session_suite" "$root.partial" \
    "$mirror" >"$session_cache/debootstrap.log" 2>&1; then
    session_log "debootstrap failed; the end of $session_cache/debootstrap.log:"
    tail -n 20 "$session_cache/debootstrap.log" >&2
    session_remove_tree "$root.partial"
    exec {lock}>&-
    return 1
  fi
  if ! session_configure_root "$root.partial"; then
    session_remove_tree "$root.partial"
    exec {lock}>&-
    return 1
  fi
  mv "$root.partial" "$root"
  { session_stamp_text; echo "built=$(date -u +%FT%TZ) seconds=$(($(date +%s) - started))"; } >"$stamp"
  for other in "$session_cache"/root-*; do
    [[ $other == "$root" || $other == "$stamp" || ! -d $other ]] && continue
    grep -qF "lowerdir=$other," /proc/self/mountinfo && continue
    session_remove_tree "$other"
    rm -f "$other.stamp"
  done
  exec {lock}>&-
  session_log "root built in $(($(date +%s) - started)) s"
  echo "$root"
}

# The user, lingering so that the user's manager (and session bus) start at boot, a quiet
# boot, and nothing that reaches for a network.
session_configure_root() {
  local root=$1
  chroot "$root" useradd --create-home --uid "$session_uid" --shell /bin/bash "$session_user" || return 1
  mkdir -p "$root/var/lib/systemd/linger"
  touch "$root/var/lib/systemd/linger/$session_user"
  echo quillbeam-session >"$root/etc/hostname"
  # A fresh machine ID at each boot; an empty file keeps it from being written back.
  : >"$root/etc/machine-id"
  # Units that only slow the boot down in a container without a network.
  local unit
  for unit in apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer \
    systemd-timesyncd.service; do
    ln -sf /dev/null "$root/etc/systemd/system/$unit"
  done
}

# Makes RUN/root a writable copy-on-write view of the cached root (a plain copy where
# overlayfs cannot be mounted), for one run.
session_prepare() {
  local run=$1 cached
  session_clean_stale
  cached=$(session_build_root) || return 1
  mkdir -p "$run/root" "$run/upper" "$run/work"
  session_process_id $$ >"$run/owner"
  if mount -t overlay overlay -o "lowerdir=$cached,upperdir=$run/upper,workdir=$run/work" \
    "$run/root" 2>/dev/null; then
    echo overlay >"$run/kind"
  else
    cp -a "$cached/." "$run/root/" || return 1
    echo copy >"$run/kind"
  fi
}

# A process as "PID START-TIME", which no later process with the same PID matches.
session_process_id() {
  local stat fields
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  # The fields after the command's name, from the state (field 3) on; field 22 the start.
  read -ra fields <<<"${stat##*) }"
  echo "$1 ${fields[19]}"
}

# Runs this machine's earlier test runs left behind when they were killed (their shell gone,
# a ctest timeout's SIGKILL): their containers powered off, cgroups and overlays removed.
session_clean_stale() {
  local run owner pid
  for run in /var/tmp/quillbeam-session-run.*; do
    [[ -f $run/owner ]] || continue
    read -r owner <"$run/owner"
    pid=${owner%% *}
    [[ $(session_process_id "$pid" 2>/dev/null) == "$owner" ]] && continue
    session_log "removing what a killed run left in $run"
    session_pid=$(cat "$run/systemd.pid" 2>/dev/null) session_teardown "$run"
  done
}

# Installs Debian packages (files) into RUN/root, offline, as the container will run them.
session_install_debs() {
  local run=$1 deb names=()
  shift
  mkdir -p "$run/root/var/cache/quillbeam-test"
  for deb in "$@"; do
    cp "$deb" "$run/root/var/cache/quillbeam-test/" || return 1
    names+=("/var/cache/quillbeam-test/${deb##*/}")
  done
  if chroot "$run/root" env DEBIAN_FRONTEND=noninteractive dpkg -i "${names[@]}" \
    >"$run/dpkg.log" 2>&1; then
    return 0
  fi
  # A dependency the cached root lacks: apt brings it from the mirror.
  session_log "the packages need more than the cached root has; fetching it with apt"
  if ! chroot "$run/root" sh -c 'export DEBIAN_FRONTEND=noninteractive
      apt-get update -q && apt-get install -f -y -q --no-install-recommends' \
    >>"$run/dpkg.log" 2>&1; then
    session_log "installing ${names[*]} in the container failed:"
    cat "$run/dpkg.log" >&2
    return 1
  fi
}

# Boots RUN/root in a cgroup of its own under the cgroup2 mount; sets session_pid (the
# container's systemd, for nsenter) once the user's manager is up.
session_boot() {
  local run=$1 mount cgroup
  mount=$(session_cgroup2_mount)
  cgroup=$mount/quillbeam-session-$$-$RANDOM
  mkdir "$cgroup" || return 1
  echo "$cgroup" >"$run/cgroup"
  # Should this shell be killed outright, the container is told to power off (nspawn's
  # SIGTERM), and the next run removes the rest (session_clean_stale).
  (
    echo "$BASHPID" >"$cgroup/cgroup.procs" || exit 1
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec setpriv --pdeathsig TERM systemd-nspawn --quiet \
      --boot --register=no --keep-unit --private-network --console=read-only \
      --machine=quillbeam-session --directory="$run/root"
  ) </dev/null >"$run/console.log" 2>&1 &
  session_nspawn=$!
  echo "$session_nspawn" >"$run/nspawn.pid"

  session_pid=
  local deadline=$((SECONDS + 120)) pid
  while ((SECONDS < deadline)); do
    if ! kill -0 "$session_nspawn" 2>/dev/null; then
      session_log "systemd-nspawn ended while booting; its output:"
      cat "$run/console.log" >&2
      return 1
    fi
    if [[ -z $session_pid ]]; then
      # The container's PID 1: a process in our cgroup that is 1 in its own namespace.
      while read -r pid; do
        if grep -qE '^NSpid:\s+[0-9]+\s+1$' "/proc/$pid/status" 2>/dev/null; then
          session_pid=$pid
          echo "$pid" >"$run/systemd.pid"
          break
        fi
      done < <(session_cgroup_pids "$cgroup")
    elif session_root_run test -S "/run/user/$session_uid/bus" &&
      [[ $(session_user_run systemctl --user is-system-running 2>/dev/null) =~ ^(running|degraded)$ ]]; then
      return 0
    fi
    sleep 0.1
  done
  session_log "the user's manager did not come up in 120 s; the console:"
  cat "$run/console.log" >&2
  return 1
}

# Every process in a cgroup and the cgroups below it.
session_cgroup_pids() {
  find "$1" -name cgroup.procs -exec cat {} + 2>/dev/null
}

# Runs a command as root inside the booted container.
session_root_run() {
  nsenter --target "$session_pid" --all --wdns=/ -- "$@"
}

# Runs a command as the session's user, with the environment a desktop session gives it.
session_user_run() {
  nsenter --target "$session_pid" --all --wdns=/ -- runuser -u "$session_user" -- \
    env -i HOME="/home/$session_user" USER="$session_user" LOGNAME="$session_user" \
    PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
    XDG_RUNTIME_DIR="/run/user/$session_uid" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=/run/user/$session_uid/bus" "$@"
}

# The container's cgroup folder for a path inside it ("" for its root), as seen from here.
session_cgroup_of() {
  local path=$1 cgroup found
  cgroup=$(cat "$session_run/cgroup")
  # nspawn puts the container's tree in our cgroup or in a child of it.
  found=$(find "$cgroup" -maxdepth 3 -type d -name init.scope -printf '%h\n' 2>/dev/null | head -n1)
  echo "${found:-$cgroup}${path:+/$path}"
}

# Powers the container off and waits for it (then ends nspawn, which we started, if it
# lingers), removes the cgroups made for it, the overlay and the run's folder.
session_teardown() {
  local run=$1 cgroup nspawn
  [[ -d $run ]] || return 0
  nspawn=$(cat "$run/nspawn.pid" 2>/dev/null)
  cgroup=$(cat "$run/cgroup" 2>/dev/null)
  # Only the nspawn this run started, not a later process that got its PID; only the
  # container's systemd in this run's cgroup.
  if [[ -n $nspawn && $(tr '\0' ' ' 2>/dev/null <"/proc/$nspawn/cmdline") == *" --directory=$run/root"* ]]; then
    if [[ -n ${session_pid:-} && -n $cgroup ]] &&
      grep -qx "$session_pid" <<<"$(session_cgroup_pids "$cgroup")"; then
      # SIGRTMIN+4: systemd powers off.
      kill -RTMIN+4 "$session_pid" 2>/dev/null
    fi
    local deadline=$((SECONDS + 60))
    while kill -0 "$nspawn" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.1; done
    if kill -0 "$nspawn" 2>/dev/null; then
      session_log "the container did not power off in 60 s; ending systemd-nspawn"
      kill -TERM "$nspawn" 2>/dev/null
      sleep 2
      kill -KILL "$nspawn" 2>/dev/null
    fi
    wait "$nspawn" 2>/dev/null
  fi
  if [[ -n $cgroup && -d $cgroup ]]; then
    local dir pid deadline=$((SECONDS + 30))
    # Anything left is the container's (started by this run): thaw it, end it, remove it.
    while IFS= read -r dir; do
      echo 0 >"$dir/cgroup.freeze" 2>/dev/null
    done < <(find "$cgroup" -type d)
    while read -r pid; do
      kill -KILL "$pid" 2>/dev/null
    done < <(session_cgroup_pids "$cgroup")
    while [[ -n $(session_cgroup_pids "$cgroup") ]] &&
      ((SECONDS < deadline)); do sleep 0.1; done
    find "$cgroup" -depth -type d -exec rmdir {} \; 2>/dev/null
    [[ -d $cgroup ]] && session_log "could not remove the cgroup $cgroup"
  fi
  if mountpoint -q "$run/root"; then
    umount "$run/root" || umount -l "$run/root"
  fi
  session_remove_tree "$run"
}

# The scenario against the packages scripts/package.sh builds.
session_main() {
  set -euo pipefail
  cd "$(dirname "${BASH_SOURCE[0]}")/.."
  case ${1:-} in
    root)
      if reason=$(session_unavailable); then
        session_log "$reason"
        exit 1
      fi
      session_build_root
      ;;
    test)
      local packages server=build/session/quillbeam_test_notification_server
      packages=$(scripts/package.sh)
      mkdir -p build/session
      # shellcheck disable=SC2046
      g++ -std=c++20 -O2 -o "$server" tests/session/notification_server/main.cpp \
        $(pkg-config --cflags --libs libsystemd)
      QUILLBEAM_SESSION_PACKAGES=$(dirname "$(head -n1 <<<"$packages")") \
        QUILLBEAM_SESSION_NOTIFIER=$PWD/$server exec bash tests/session/session_test.sh
      ;;
    *)
      sed -n '/^# Source it/,/^# Needs root/p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
      exit 2
      ;;
  esac
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  session_main "$@"
fi
