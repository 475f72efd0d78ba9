#!/usr/bin/env bash
# Installs Debian packages for the project's set-up without letting one take over a
# service the machine already has. Sourced by install-deps.sh and fetch-bus-tools.sh;
# tests/scripts/guarded_install_test.sh runs the link check on fake /etc trees.
#
# Packages enable their own services as Debian packages do (a dependency such as the
# system's D-Bus, a getty, man-db's timer): those links are listed, not refused. What is
# refused is a takeover:
#  - dbus-broker among the packages apt would install: it makes itself the machine's bus;
#  - a link that existed before and now points elsewhere or is gone;
#  - a new alias (a link outside *.wants/, *.requires/ and *.upholds/) under another name
#    than its target's that gives a unit name another program already answers to:
#    dbus.service and display-manager.service, or the name of a unit file the machine has.
# A package's alias for its own service (dbus-org.freedesktop.timesync1.service ->
# systemd-timesyncd.service) answers to a name nobody else has: listed.

# Packages never installed, whatever asks for them.
guard_refused_packages=(dbus-broker)
# Names by which a program becomes the one service of its kind.
guard_taken_names=(dbus.service display-manager.service)

# Every symlink under ROOT's /etc/systemd and /etc/rc?.d, as "PATH -> TARGET", sorted.
guard_links() {
  local root=${1:-}
  # A machine may have neither folder.
  { find "$root/etc/systemd" "$root"/etc/rc?.d -type l -printf '%p -> %l\n' 2>/dev/null || true; } |
    sed "s|^$root/|/|" | LC_ALL=C sort
}

# Whether a unit file NAME exists where packages put theirs (system or user units).
guard_vendor_unit() {
  local root=$1 name=$2 dir
  for dir in lib/systemd/system usr/lib/systemd/system usr/lib/systemd/user; do
    [[ -e $root/$dir/$name ]] && return 0
  done
  return 1
}

# Compares two listings of guard_links for ROOT: prints what changed, one line each,
# "takeover: ..." or "enabled: ...", sorted (guard_takeover reads the verdict).
guard_judge() {
  local before=$1 after=$2 root=${3:-} line path target name dir taken
  declare -A old
  while IFS= read -r line; do
    [[ -n $line ]] && old[${line%% -> *}]=${line#* -> }
  done <<<"$before"
  declare -A new
  while IFS= read -r line; do
    [[ -n $line ]] && new[${line%% -> *}]=${line#* -> }
  done <<<"$after"

  for path in "${!old[@]}"; do
    if [[ -z ${new[$path]+set} ]]; then
      echo "takeover: $path -> ${old[$path]} was removed"
    elif [[ ${new[$path]} != "${old[$path]}" ]]; then
      echo "takeover: $path pointed to ${old[$path]}, now to ${new[$path]}"
    fi
  done
  for path in "${!new[@]}"; do
    [[ -n ${old[$path]+set} ]] && continue
    target=${new[$path]} name=${path##*/} dir=${path%/*}
    taken=0
    if [[ $path == /etc/systemd/* && ! $dir =~ \.(wants|requires|upholds)$ &&
      $name != "${target##*/}" ]]; then
      [[ " ${guard_taken_names[*]} " == *" $name "* ]] && taken=1
      guard_vendor_unit "$root" "$name" && taken=1
    fi
    if ((taken)); then
      echo "takeover: $path -> $target answers to a unit name another program has"
    else
      echo "enabled: $path -> $target"
    fi
  done | LC_ALL=C sort
}

# guard_judge's verdict: 1 when its output names a takeover.
guard_takeover() { grep -q '^takeover: ' <<<"$1"; }

# apt-get install -y --no-install-recommends PACKAGE..., refused before anything is
# installed when apt would bring a refused package, and checked after.
guard_install() {
  local would refused p before after report
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q || return 1
  would=$(apt-get install -s -q --no-install-recommends "$@" | awk '/^Inst /{print $2}') || return 1
  for p in "${guard_refused_packages[@]}"; do
    if grep -qx "$p" <<<"$would"; then
      echo "guarded-install: installing $* would bring $p, which takes over the machine's bus; nothing installed" >&2
      return 1
    fi
  done
  before=$(guard_links)
  apt-get install -y -q --no-install-recommends "$@" || return 1
  after=$(guard_links)
  report=$(guard_judge "$before" "$after")
  if guard_takeover "$report"; then
    echo "guarded-install: installing $* took over a service:" >&2
    sed 's/^/  /' <<<"$report" >&2
    return 1
  fi
  if [[ -n $report ]]; then
    echo "guarded-install: the installed packages enabled services of their own:"
    sed 's/^/  /' <<<"$report"
  fi
}
