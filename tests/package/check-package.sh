#!/usr/bin/env bash
# Builds the Debian package and checks it by installing it on this machine:
# its contents and relations, the installed service on the simulated scanners
# (a page scans one page, a second copy exits), the user unit, and that a
# purge leaves nothing of it behind. Whatever happens, the package does not
# stay installed.
#
# Usage: check-package.sh BUILD SOURCE VERSION plain|sanitized TST_INSTALLED TST_E2E_SERVICE
# Exits 77 (skipped) where it must not or cannot install packages.
set -euo pipefail
build=$1 source=$2 version=$3 kind=$4 installed_test=$5 service_test=$6
program=/usr/lib/velloscan/velloscan
log=$build/package-check.log

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
quiet() { "$@" >"$log" 2>&1 || { cat "$log"; return 1; }; }
apt() { DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"; }

[ "$kind" = sanitized ] && skip "a sanitized build's binaries are not for packaging"
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null || skip "no apt-get or dpkg-deb on this machine"
state=$(dpkg-query -W -f='${db:Status-Status}' velloscan 2>/dev/null || true)
[ -z "$state" ] || [ "$state" = not-installed ] ||
  skip "velloscan is already on this machine ($state); this check installs and purges only a copy of its own"
if (exec 3<>/dev/tcp/127.0.0.1/23165) 2>/dev/null; then
  fail "port 23165 is taken; the installed service listens there"
fi

echo "== building the package"
arch=$(dpkg --print-architecture)
deb=$build/velloscan_${version}_${arch}.deb
rm -f "$deb"
quiet cmake --build "$build" --target package || fail "building the package failed"
[ -f "$deb" ] || fail "the package is not at $deb"

echo "== inspecting $deb"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = velloscan ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Recommends)" = sane-utils ] || fail "Recommends: $(field Recommends)"
depends=$(field Depends)
# libsane1 by hand (loaded at run time); the rest computed, hence versioned.
for dep in 'libsane1' 'libc6 (>= ' 'libstdc++6 (>= ' 'libqt5core5a (>= ' 'libqt5websockets5 (>= ' 'libtiff6 (>= '; do
  [[ ", $depends" == *", $dep"* ]] || fail "Depends lacks '$dep': $depends"
done
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/xdg/autostart/velloscan.desktop ] || fail "conffiles: $(dpkg-deb -I "$deb" conffiles)"
listing=$(dpkg-deb -c "$deb" | awk '{ $3 = $4 = $5 = ""; print }' | tr -s ' ')
diff -u <(cat <<'EOF'
drwxr-xr-x root/root ./etc/
drwxr-xr-x root/root ./etc/xdg/
drwxr-xr-x root/root ./etc/xdg/autostart/
-rw-r--r-- root/root ./etc/xdg/autostart/velloscan.desktop
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/velloscan-allow-site
lrwxrwxrwx root/root ./usr/bin/velloscan-doc -> ../lib/velloscan/velloscan-doc
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/systemd/
drwxr-xr-x root/root ./usr/lib/systemd/user/
-rw-r--r-- root/root ./usr/lib/systemd/user/velloscan.service
drwxr-xr-x root/root ./usr/lib/velloscan/
-rwxr-xr-x root/root ./usr/lib/velloscan/velloscan
-rwxr-xr-x root/root ./usr/lib/velloscan/velloscan-doc
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/velloscan/
-rw-r--r-- root/root ./usr/share/doc/velloscan/README.md
-rw-r--r-- root/root ./usr/share/doc/velloscan/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/velloscan/copyright
EOF
) <(grep -v ' \./usr/share/velloscan/' <<<"$listing") || fail "unexpected package contents (- expected, + built)"
# The web client: what exists of it, and nothing of its development.
web=$(grep ' \./usr/share/velloscan/' <<<"$listing" || true)
if grep -E 'node_modules|/tests?/|/bench/|\.(test|spec)\.|package(-lock)?\.json' <<<"$web"; then
  fail "the web client's development files are packaged"
fi
if [ -n "$web" ] && grep -v '^d' <<<"$web" | grep -v -E '^-rw-r--r-- root/root \./usr/share/velloscan/web/.*\.(m?js|d\.ts|html|css)$'; then
  fail "unexpected files under /usr/share/velloscan"
fi
for page in velloscan.js index.html; do
  if [ -f "$source/web/$page" ]; then
    grep -q " \./usr/share/velloscan/web/$page$" <<<"$web" || fail "web/$page is not packaged"
  fi
done

# From here on the package is on the machine: take it off again however the
# check ends, with any copy of the service still running from it.
paths=$(dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' | sed 's:/$::')
enabled_link=/etc/systemd/user/graphical-session.target.wants/velloscan.service
new_paths=$(for p in $paths "$(dirname "$enabled_link")" "$enabled_link"; do
  [ -e "$p" ] || [ -L "$p" ] || echo "$p"
done)
installed=0
stop_service() {
  local exe pid
  for exe in /proc/[0-9]*/exe; do
    pid=${exe#/proc/}; pid=${pid%/exe}
    case "$(readlink "$exe" 2>/dev/null)" in "$program"|"$program (deleted)") kill -KILL "$pid" 2>/dev/null || true;; esac
  done
}
runtime_dir=
cleanup() {
  local status=$?
  if [ "$installed" = 1 ]; then
    stop_service
    quiet apt purge velloscan || echo "FAIL: could not purge velloscan; remove it by hand" >&2
  fi
  [ -z "$runtime_dir" ] || rm -rf "$runtime_dir"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

echo "== installing"
installed=1
quiet apt install --no-install-recommends "$deb" || fail "apt-get install failed"
[ "$(dpkg-query -W -f='${db:Status-Status}' velloscan)" = installed ] || fail "velloscan is not installed"
! ldd "$program" /usr/lib/velloscan/velloscan-doc | grep 'not found' || fail "libraries missing"
[[ "$(/usr/bin/velloscan-doc 2>&1 || true)" == usage:* ]] || fail "/usr/bin/velloscan-doc does not run"
if command -v systemctl >/dev/null; then
  [ "$(systemctl --global is-enabled velloscan.service)" = enabled ] || fail "the user unit is not enabled for every user"
fi
grep -qx 'X-systemd-skip=true' /etc/xdg/autostart/velloscan.desktop || fail "the autostart entry would start a second copy under systemd"

echo "== allowing a site through the browsers' local network access"
allow=/usr/bin/velloscan-allow-site
site=https://package-check.velloscan.example
policy_dirs=(/etc/chromium/policies/managed /etc/opt/chrome/policies/managed /etc/opt/edge/policies/managed)
# The folders it makes for browsers that are not installed go again after the check.
made_dirs=$(for d in "${policy_dirs[@]}"; do p=$d; while [ ! -e "$p" ]; do echo "$p"; p=$(dirname "$p"); done; done)
had_sites=$("$allow" --list | grep -c '^  ' || true)
rc=0
"$allow" 'ftp://nope.example' >/dev/null 2>&1 || rc=$?
[ $rc = 2 ] || fail "velloscan-allow-site answered ftp://nope.example with status $rc, not 2"
"$allow" "HTTPS://Package-Check.velloscan.example:443/" >"$log" || fail "velloscan-allow-site failed: $(cat "$log")"
grep -q "AllowedOrigins" "$log" || fail "velloscan-allow-site does not mention AllowedOrigins"
for d in "${policy_dirs[@]}"; do
  f=$d/velloscan-allow-site.json
  [ "$(stat -c %a "$f" 2>/dev/null)" = 644 ] || fail "$f is missing or not mode 0644"
  grep -qx "    \"$site\",\?" "$f" || fail "$f does not list $site: $(cat "$f")"
  python3 -c 'import json, sys; json.load(open(sys.argv[1]))["LocalNetworkAccessAllowedForUrls"]' "$f" ||
    fail "$f is not the policy as JSON"
done
grep -qx "  $site" <<<"$("$allow" --list)" || fail "--list does not show $site"
"$allow" --remove "$site" >"$log" || fail "velloscan-allow-site --remove failed: $(cat "$log")"
for d in "${policy_dirs[@]}"; do
  f=$d/velloscan-allow-site.json
  if [ "$had_sites" = 0 ]; then
    [ ! -e "$f" ] || fail "$f stays after its last site was removed"
  else
    ! grep -q "$site" "$f" || fail "$f still lists $site"
  fi
done
for d in $made_dirs; do rmdir "$d" 2>/dev/null || true; done

echo "== running the installed service"
export VELLOSCAN_PROGRAM=$program
"$installed_test" || fail "the installed service did not scan a page"
"$service_test" greetingWithScanners secondCopyLeavesTheFirstAlone portHeldElsewhereEndsTheStart ||
  fail "the installed service failed the end-to-end cases"
unset VELLOSCAN_PROGRAM

if command -v systemd-analyze >/dev/null; then
  echo "== verifying the user unit"
  # Without a running systemd, the user mode needs a runtime directory.
  runtime_dir=$(mktemp -d)
  chmod 700 "$runtime_dir"
  verdict=$(XDG_RUNTIME_DIR=$runtime_dir systemd-analyze verify --user /usr/lib/systemd/user/velloscan.service 2>&1) ||
    fail "systemd-analyze verify: $verdict"
  ! grep -i velloscan <<<"$verdict" || fail "systemd-analyze verify complains about the unit"
else
  echo "no systemd-analyze here: the user unit is not verified"
fi

echo "== purging"
stop_service
quiet apt purge velloscan || fail "apt-get purge failed"
installed=0
state=$(dpkg-query -W -f='${db:Status-Status}' velloscan 2>/dev/null || true)
[ -z "$state" ] || [ "$state" = not-installed ] || fail "velloscan is still $state after the purge"
for p in $new_paths; do
  [ ! -e "$p" ] && [ ! -L "$p" ] || fail "left behind: $p"
done
left=$(find /usr /etc /opt /var/lib \( -path "$build" -o -path "$source" \) -prune -o -name '*velloscan*' -print 2>/dev/null || true)
[ -z "$left" ] || fail "left behind: $left"
echo "package check passed: $(basename "$deb")"
