#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Tembrook.
# Every step checks first, so a set-up machine does no work here.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  g++-mingw-w64-i686 mingw-w64-tools libz-mingw-w64-dev
  wine wine32:i386 wine64 xvfb xdotool x11-utils libx11-dev
  locales fonts-ipafont-gothic fonts-ipafont-mincho dpkg-dev googletest
  zip unzip libarchive-tools 7zip jlha-utils imagemagick genisoimage
  libarchive-dev zlib1g-dev liblzma-dev clang libclang-rt-14-dev python3
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  [[ "$status" == ii* ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
  echo "setup: generating ja_JP.UTF-8"
  sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
