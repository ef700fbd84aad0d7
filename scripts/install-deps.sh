#!/usr/bin/env bash
# Installs, only when missing, every Debian package that the build, the programs and the tests need.
# Safe to run again; needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang-format git
  # libraries the platform layer and the security library link
  libssl-dev libsqlite3-dev libcurl4-openssl-dev libldap-dev libgsf-1-dev libnss3-dev libp11-kit-dev
  libsecret-1-dev
  # the programs' user interface
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev libgl-dev qt6-translations-l10n
  # tests: GoogleTest, a real directory server, a display and fonts for the window tests
  googletest libgtest-dev libgmock-dev slapd ldap-utils xvfb xauth x11-utils xdg-utils
  # tests: the assistant in a Wayland session (a headless compositor, Qt's Wayland platform)
  weston qt6-wayland
  fonts-wqy-microhei tzdata openssl
  # tests: the file managers' entries are checked with their formats' own validators
  desktop-file-utils libxml2-utils
  # tests: an HTTP server on the loopback address; an independent reader of compound files
  python3 python3-olefile
  # tests: Thunderbird profiles made and read with NSS's own tools
  libnss3-tools
  # tests: a software PKCS#11 token; the personal store's module read by OpenSC's and GnuTLS's tools
  softhsm2 opensc gnutls-bin
  # tests: a real Secret Service on a private session bus for the sealed key containers
  gnome-keyring dbus-daemon dbus-bin
  # the Debian package: its checkers, and the cache tools its triggers run once installed
  dpkg-dev lintian appstream desktop-file-utils shared-mime-info hicolor-icon-theme man-db
  # fuzzing: clang with libFuzzer and the sanitizers' runtimes
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages are present"
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
