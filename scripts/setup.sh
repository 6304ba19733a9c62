# Shared set-up of ./scripts/run, ./scripts/test and ./scripts/fuzz: install what is missing
# (with apt-get, through sudo unless run as root), configure and build. Sourced, not run.
# VELLOSCAN_SETUP=run installs only what building and running the service needs.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${VELLOSCAN_BUILD:-$ROOT/build}
SUDO=
[ "$(id -u)" -ne 0 ] && SUDO=sudo

# What building and running the service needs; ./scripts/run installs only these.
RUN_PACKAGES=(cmake g++ make pkg-config
              qtbase5-dev libqt5websockets5-dev
              libsane-dev libsane1
              libtiff-dev libjpeg62-turbo-dev libpng-dev zlib1g-dev
              # The reference page's server.
              python3)
# What the tests, the fuzzing and the package add.
TEST_PACKAGES=(# Validators of the documents the service writes.
               libtiff-tools qpdf poppler-utils
               locales sane-utils
               # The browser tests: Chromium, and openssl for their HTTPS site.
               chromium openssl
               # The fuzz build (scripts/fuzz): clang and its runtime with libFuzzer,
               # which clang only recommends.
               clang libclang-rt-14-dev
               # The Debian package's dependencies are computed with these.
               dpkg-dev file)
PACKAGES=("${RUN_PACKAGES[@]}")
[ "${VELLOSCAN_SETUP:-test}" = run ] || PACKAGES+=("${TEST_PACKAGES[@]}")

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${VELLOSCAN_SETUP:-test}" != run ]; then
  # Node.js and npm only where missing: one from elsewhere conflicts with Debian's npm.
  command -v node >/dev/null && command -v npm >/dev/null || missing+=(nodejs npm)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing with apt-get${SUDO:+ (through sudo)}: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The fuzz build needs the packages alone; it configures a build of its own.
[ -n "${VELLOSCAN_PACKAGES_ONLY:-}" ] && return 0

if [ "${VELLOSCAN_SETUP:-test}" != run ]; then
  # The end-to-end tests scan under a comma-decimal locale.
  if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
    $SUDO sed -i 's/^# *\(de_DE\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^de_DE\.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen >/dev/null
  fi

  # The browser tests' playwright-core, as web/package-lock.json pins it.
  if [ ! "$ROOT/web/node_modules/.package-lock.json" -nt "$ROOT/web/package-lock.json" ]; then
    (cd "$ROOT/web" && npm ci --no-audit --no-fund --loglevel=error)
  fi
fi

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVELLOSCAN_SANITIZE="${VELLOSCAN_SANITIZE:-OFF}" >/dev/null
# ./scripts/run needs only the service and the simulated scanners.
cmake --build "$BUILD" -j"$(nproc)" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
