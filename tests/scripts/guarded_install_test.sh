#!/usr/bin/env bash
# The set-up's service check on fake /etc trees: what a dependency enables for itself is
# listed, a takeover is refused.
set -uo pipefail
source "$(dirname "$0")/../../scripts/guarded-install.sh"

passed=0 failed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A machine with the system D-Bus unit, one enabled service and an rc link.
base() {
  local root=$work/$1
  rm -rf "$root"
  mkdir -p "$root/lib/systemd/system" "$root/usr/lib/systemd/user" \
    "$root/etc/systemd/system/multi-user.target.wants" "$root/etc/rc2.d"
  touch "$root/lib/systemd/system/dbus.service" "$root/lib/systemd/system/cron.service" \
    "$root/lib/systemd/system/getty@.service" "$root/usr/lib/systemd/user/dbus.service"
  ln -s /lib/systemd/system/cron.service "$root/etc/systemd/system/multi-user.target.wants/cron.service"
  ln -s ../init.d/cron "$root/etc/rc2.d/S01cron"
  echo "$root"
}

# expect NAME pass|fail LINE-EXPECTED-IN-REPORT SETUP-COMMANDS (run with $root set)
expect() {
  local name=$1 verdict=$2 wanted=$3 change=$4 root before report got
  root=$(base "$name")
  before=$(guard_links "$root")
  (cd "$root" && eval "$change")
  report=$(guard_judge "$before" "$(guard_links "$root")" "$root")
  if guard_takeover "$report"; then got=fail; else got=pass; fi
  if [[ $got == "$verdict" ]] && grep -qF -- "$wanted" <<<"$report"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED $name: wanted $verdict with '$wanted', got $got:"
    sed 's/^/  /' <<<"$report"
  fi
}

expect broker-system-bus fail "takeover: /etc/systemd/system/dbus.service" \
  'ln -s /lib/systemd/system/dbus-broker.service etc/systemd/system/dbus.service'
expect broker-user-bus fail "takeover: /etc/systemd/user/dbus.service" \
  'mkdir -p etc/systemd/user && ln -s /usr/lib/systemd/user/dbus-broker.service etc/systemd/user/dbus.service'
expect alias-over-vendor-unit fail "takeover: /etc/systemd/system/cron.service" \
  'ln -s /lib/systemd/system/other-cron.service etc/systemd/system/cron.service'
expect link-repointed fail "pointed to /lib/systemd/system/cron.service" \
  'ln -sfn /lib/systemd/system/anacron.service etc/systemd/system/multi-user.target.wants/cron.service'
expect link-removed fail "takeover: /etc/rc2.d/S01cron -> ../init.d/cron was removed" \
  'rm etc/rc2.d/S01cron'
expect dependency-wants pass "enabled: /etc/systemd/system/getty.target.wants/getty@tty1.service" \
  'mkdir -p etc/systemd/system/getty.target.wants && ln -s /lib/systemd/system/getty@.service etc/systemd/system/getty.target.wants/getty@tty1.service'
expect dependency-rc pass "enabled: /etc/rc2.d/S01dbus -> ../init.d/dbus" \
  'ln -s ../init.d/dbus etc/rc2.d/S01dbus'
expect own-dbus-alias pass "enabled: /etc/systemd/system/dbus-org.freedesktop.timesync1.service" \
  'ln -s /lib/systemd/system/systemd-timesyncd.service etc/systemd/system/dbus-org.freedesktop.timesync1.service'
expect nothing-new pass "" ':'

echo "$passed passed, $failed failed"
((failed == 0))
