#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the proxy need.
# Idempotent: installs only what is missing. Runs as root (or through sudo).
#   scripts/setup.sh            everything: the desktop programs and the tests too
#   scripts/setup.sh --daemon   only what building and running the daemon need
set -euo pipefail

daemon_packages=(
  build-essential cmake ninja-build pkg-config binutils
  libssl-dev                        # SOCKS accounts' digests
  libcurl4-openssl-dev              # FTP through HTTP
  libsystemd-dev                    # readiness and reload notices to the service manager
  libldns-dev                       # DNS messages of the DNS proxy
)
packages=(
  "${daemon_packages[@]}"
  clang libclang-rt-14-dev          # fuzz targets
  libgtest-dev libgmock-dev
  bind9-dnsutils knot-dnsutils      # DNS clients of the DNS proxy tests: dig, kdig
  dnsmasq-base                      # a name server behind the DNS proxy in end-to-end tests
  dnsperf                           # a short load of the DNS proxy in an end-to-end test
  curl wget openssl python3 python3-pyftpdlib strace   # end-to-end tests
  iproute2                          # network namespaces of the IPv6 tests (ip netns)
  qt6-base-dev                      # configuration wizard, tray agent
  xvfb xauth xdotool                # the real wizard driven on a virtual display
  scdoc                             # manual pages
  systemd man-db                    # package test: systemd-analyze, man --warnings
  python3-dbus python3-gi           # package test: a stand-in service manager for the wizard's reload
  dbus-daemon                       # the tray agent's private bus in its tests
  desktop-file-utils                # desktop-file-validate for the installed entries
  goaccess prometheus               # access log and metrics read by the tools that read them
  chromium                          # a real browser through the proxy
  ncat proxychains4 python3-socks netcat-openbsd socat   # SOCKS and redirection clients
  openssh-server openssh-client     # ssh through SOCKS to a throwaway sshd
)
# scripts/deb.sh installs the packaging tools and the build dependencies.

case "${1:-}" in
  "") ;;
  --daemon) packages=("${daemon_packages[@]}") ;;
  *) echo "usage: scripts/setup.sh [--daemon]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
