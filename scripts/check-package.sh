#!/usr/bin/env bash
# Builds the Debian packages (scripts/package.sh) and checks them: their contents and
# control fields, lintian, and, as root, a real install (the bridge registered for every
# user, the programs and the development files usable) and a purge that leaves nothing
# behind. Usage: scripts/check-package.sh [DIR]   (checks the packages already in DIR
# instead of building them). Refuses to install over a Quillbeam already on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "check-package: $*" >&2
  exit 1
}

if (($#)); then
  dir=$(realpath "$1")
else
  scripts/package.sh >/dev/null
  dir=$PWD/build/package/packages
fi
version=$(sed -nE 's/^project\(Quillbeam VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
runtime=$dir/quillbeam_${version}-1_${arch}.deb
dev=$dir/libquillbeam-core-dev_${version}-1_${arch}.deb
[[ -f "$runtime" && -f "$dev" ]] || fail "no packages for version $version-1 in $dir"

work=$(mktemp -d /tmp/quillbeam-package-XXXXXX)
installed=0
# dpkg removes on purge every empty folder the packages hold that no other package
# claims, also one that was there before (an empty /etc/opt): those are put back as they were.
purge() {
  apt-get purge -y -q -o DPkg::Lock::Timeout=600 quillbeam libquillbeam-core-dev >/dev/null
  installed=0
  local mode owner group mtime folder
  while read -r mode owner group mtime folder; do
    [[ -d "$folder" ]] && continue
    mkdir "$folder" && chmod "$mode" "$folder" && chown "$owner:$group" "$folder" &&
      touch -d "@$mtime" "$folder"
    echo "check-package: put back the empty folder $folder that dpkg removed on purge"
  done <"$work/old.dirs"
}
cleanup() {
  if ((installed)); then purge || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---- contents and control fields
files_of() { dpkg-deb --fsys-tarfile "$1" | tar -t | sed -e 's|^\./|/|' -e '/\/$/d'; }
dirs_of() { dpkg-deb --fsys-tarfile "$1" | tar -t | sed -n -e 's|^\./|/|' -e 's|\(.\)/$|\1|p'; }
files_of "$runtime" >"$work/runtime.files"
files_of "$dev" >"$work/dev.files"

hosts=(/etc/opt/chrome /etc/chromium /etc/opt/edge)
manifests=("${hosts[@]/%//native-messaging-hosts/com.quillbeam.companion.json}")
want_runtime=(/usr/bin/quillbeam_bridge /usr/bin/quillbeam /usr/bin/quillbeam-register
  "${manifests[@]}" /usr/share/doc/quillbeam/copyright
  /usr/share/doc/quillbeam/changelog.Debian.gz /usr/share/lintian/overrides/quillbeam
  /usr/share/man/man1/quillbeam.1.gz /usr/share/man/man1/quillbeam-register.1.gz
  /usr/share/man/man1/quillbeam_bridge.1.gz)
if [[ -f companion/CMakeLists.txt ]]; then
  want_runtime+=(/usr/bin/quillbeam-companion /usr/share/dbus-1/services/com.quillbeam.mac.service
    /usr/lib/systemd/user/quillbeam-companion.service)
fi
libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
want_dev=("$libdir/libquillbeam_core_base.a" "$libdir/libquillbeam_core_unicode.a"
  "$libdir/pkgconfig/quillbeam-core.pc" "$libdir/cmake/Quillbeam/QuillbeamConfig.cmake"
  "$libdir/cmake/Quillbeam/QuillbeamConfigVersion.cmake"
  "$libdir/cmake/Quillbeam/QuillbeamTargets.cmake"
  /usr/share/doc/libquillbeam-core-dev/copyright
  /usr/share/doc/libquillbeam-core-dev/changelog.Debian.gz)
while IFS= read -r header; do want_dev+=("/usr/include/${header#core/include/}"); done \
  < <(find core/include -name '*.hpp')

for f in "${want_runtime[@]}"; do grep -qxF "$f" "$work/runtime.files" || fail "quillbeam lacks $f"; done
for f in "${want_dev[@]}"; do grep -qxF "$f" "$work/dev.files" || fail "libquillbeam-core-dev lacks $f"; done
! grep -E '^/usr/(include|lib/.*\.(a|pc)$|lib/.*/cmake/)' "$work/runtime.files" ||
  fail "quillbeam holds development files"
! grep -E '^/usr/s?bin/' "$work/dev.files" || fail "libquillbeam-core-dev holds programs"

field() { dpkg-deb --field "$1" "$2"; }
for deb in "$runtime" "$dev"; do
  [[ $(field "$deb" Version) == "$version-1" ]] || fail "$(basename "$deb"): version is not $version-1"
done
[[ $(field "$runtime" Depends) == *libc6* ]] || fail "quillbeam declares no shared library dependencies"
dev_depends=$(field "$dev" Depends)
[[ $dev_depends == *nlohmann-json3-dev* && $dev_depends == *libicu-dev* ]] ||
  fail "libquillbeam-core-dev does not depend on nlohmann-json3-dev and libicu-dev: $dev_depends"
[[ $dev_depends != *quillbeam* ]] || fail "libquillbeam-core-dev depends on the runtime package"
diff <(dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./conffiles) <(printf '%s\n' "${manifests[@]}") ||
  fail "quillbeam's conffiles are not the host manifests"

dpkg-deb -x "$runtime" "$work/runtime"
readelf --dynamic "$work/runtime/usr/bin/quillbeam_bridge" | grep -q NEEDED &&
  fail "the packaged bridge needs shared libraries"
for m in "${manifests[@]}"; do
  cmp -s "$work/runtime${manifests[0]}" "$work/runtime$m" || fail "the manifests differ"
done
if [[ -f companion/CMakeLists.txt ]]; then
  # D-Bus activation and the user unit start the packaged companion, not a path in the
  # folder CPack staged the install in.
  service=$work/runtime/usr/share/dbus-1/services/com.quillbeam.mac.service
  unit=$work/runtime/usr/lib/systemd/user/quillbeam-companion.service
  got=$(sed -n 's/^Exec=//p' "$service")
  [[ $got == /usr/bin/quillbeam-companion ]] ||
    fail "the D-Bus service file says Exec=$got, not /usr/bin/quillbeam-companion"
  got=$(sed -n 's/^ExecStart=//p' "$unit")
  [[ $got == /usr/bin/quillbeam-companion ]] ||
    fail "the systemd user unit says ExecStart=$got, not /usr/bin/quillbeam-companion"
fi
python3 - "$work/runtime${manifests[0]}" <<'EOF' || fail "the host manifest is not the bridge's"
import json, sys
m = json.load(open(sys.argv[1]))
sys.exit(not (m["name"] == "com.quillbeam.companion" and m["type"] == "stdio"
              and m["path"] == "/usr/bin/quillbeam_bridge" and m["allowed_origins"]))
EOF
echo "check-package: contents and control fields as expected"

# ---- lintian: no error, and no warning but the one that does not apply to packages built
# outside the Debian archive (a first upload closes no bug).
lint=$(lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs \
  "$runtime" "$dev" 2>&1) || lint_failed=1
grep -v 'running with root privileges' <<<"$lint" | grep . || true
((!${lint_failed:-0})) || fail "lintian reports errors or warnings"
echo "check-package: lintian clean"

# ---- install and purge, as root
if [[ $(id -u) -ne 0 ]]; then
  echo "check-package: install and purge skipped: they need root"
  exit 0
fi
known() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -qv not-installed; }
for p in quillbeam libquillbeam-core-dev; do
  known "$p" && fail "$p is already on this machine; not touching it"
done
cat "$work/runtime.files" "$work/dev.files" >"$work/all.files"
while IFS= read -r f; do
  [[ -e "$f" || -L "$f" ]] && fail "$f exists already (installed from source?); not overwriting it"
done <"$work/all.files"
{ dirs_of "$runtime"; dirs_of "$dev"; } | sort -u >"$work/dirs"
while IFS= read -r d; do [[ -d "$d" ]] || echo "$d"; done <"$work/dirs" >"$work/new.dirs"
while IFS= read -r d; do [[ -d "$d" ]] && stat -c '%a %U %G %Y %n' "$d"; done <"$work/dirs" \
  >"$work/old.dirs"
leftovers() { find /etc /usr -xdev -iname '*quillbeam*' 2>/dev/null | sort; }
leftovers >"$work/before"

export DEBIAN_FRONTEND=noninteractive
installed=1
apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "$runtime" "$dev" >/dev/null
dpkg -L quillbeam libquillbeam-core-dev | sort >"$work/listed"
while IFS= read -r f; do
  grep -qxF "$f" "$work/listed" || fail "dpkg -L does not list $f"
  [[ -e "$f" ]] || fail "$f is not installed"
done <"$work/all.files"

# Registered for every user: the tool finds each folder for all users holding exactly
# the manifest it would write.
registered=$(env -u QUILLBEAM_REGISTER_SYSTEM_ROOT /usr/bin/quillbeam-register --system --dry-run)
steps=$(grep -F ' (all users): ' <<<"$registered")
[[ $(grep -c ': already registered /' <<<"$steps") -eq ${#manifests[@]} &&
  $(wc -l <<<"$steps") -eq ${#manifests[@]} ]] ||
  fail "the installed manifests are not what quillbeam-register writes:"$'\n'"$registered"
/usr/bin/quillbeam --help >/dev/null || fail "the installed quillbeam does not run"

# The bridge answers the extension's hello with the package's version. A throwaway home
# and no session bus: it never touches this machine's user files or bus.
mkdir -p "$work/home" "$work/run"
HOME=$work/home XDG_RUNTIME_DIR=$work/run DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus \
  python3 - "$version" <<'EOF' || fail "the installed bridge does not answer the hello as $version"
import json, struct, subprocess, sys
hello = json.dumps({"type": "hello", "protocol": 1, "extensionVersion": "1.0.0"}).encode()
bridge = subprocess.run(["/usr/bin/quillbeam_bridge",
                         "chrome-extension://anaamofdcieamnmnkhkdbgikgmcpncak/"],
                        input=struct.pack("<I", len(hello)) + hello, capture_output=True,
                        timeout=120)
(n,) = struct.unpack("<I", bridge.stdout[:4])
reply = json.loads(bridge.stdout[4:4 + n])
sys.exit(not (reply["type"] == "hello" and reply["appVersion"] == sys.argv[1]))
EOF

# A companion builds against the development package alone, through CMake and pkg-config.
consumer=$PWD/tests/install/consumer
cmake -S "$consumer" -B "$work/consumer" -G Ninja >/dev/null
cmake --build "$work/consumer" >/dev/null
# shellcheck disable=SC2046
g++ -std=c++20 "$consumer/main.cpp" -o "$work/pkg-consumer" $(pkg-config --cflags --libs quillbeam-core)
for got in "$("$work/consumer/consumer")" "$("$work/pkg-consumer")"; do
  [[ "$got" == "1h 30m ready" ]] || fail "a consumer of the installed core printed '$got'"
done
echo "check-package: installed: the bridge is registered for all users, answers as $version;" \
  "a companion builds against the core"

purge
for p in quillbeam libquillbeam-core-dev; do
  known "$p" && fail "$p is still known to dpkg after the purge"
  dpkg -L "$p" >/dev/null 2>&1 && fail "dpkg -L still lists $p's files"
done
while IFS= read -r f; do
  [[ -e "$f" || -L "$f" ]] && fail "$f is left after the purge"
done <"$work/all.files"
while IFS= read -r d; do
  [[ -e "$d" ]] && fail "the folder $d is left after the purge"
done <"$work/new.dirs"
diff "$work/before" <(leftovers) >&2 || fail "files named after quillbeam are left in /etc or /usr"
echo "check-package: purged: nothing left in /etc or /usr"
