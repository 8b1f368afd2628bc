#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the program and the tests need
# and this machine lacks. Safe to run again: packages already present are skipped.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  googletest libgtest-dev libgmock-dev
  qt6-base-dev qt6-qpa-plugins qt6-translations-l10n libgl-dev fonts-liberation
  nginx-light tinyproxy nlohmann-json3-dev
  libssl-dev openssl ca-certificates libidn2-dev
  zlib1g-dev libbrotli-dev libzstd-dev brotli zstd
  curl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
