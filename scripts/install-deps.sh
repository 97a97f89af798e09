#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Needs root for apt-get; without root it only says what is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libsqlite3-dev libgtest-dev libgmock-dev
  libssl-dev openssl
  qt6-base-dev libgl1-mesa-dev xvfb xauth
  xdotool imagemagick
  python3 curl
  swaks libnet-ssleay-perl
  dnsmasq-base
  systemd dpkg-dev file procps adduser
  clang libclang-rt-14-dev
  strace
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages (run as root to install them): ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
