#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing. Usage: deps.sh [build|test|bench]...
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libcurl4-openssl-dev ca-certificates
          qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n fonts-wqy-microhei)
for what in "$@"; do
  case "$what" in
    build) ;;
    run) packages+=(xvfb xauth) ;;
    test) packages+=(libgtest-dev googletest nginx-light python3-pyftpdlib openssl curl xvfb xauth xdotool) ;;
    bench) packages+=(nginx-light curl wget aria2 time) ;;
    images) packages+=(python3-pil) ;;
    *) echo "deps.sh: unknown group '$what'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
