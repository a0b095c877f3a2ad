#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when something is missing.
set -euo pipefail
packages=(build-essential cmake pkg-config clang libclang-rt-14-dev
          zlib1g-dev libuchardet-dev libtidy-dev libtinyxml2-dev libjsoncpp-dev
          libgtest-dev libbenchmark-dev parallel rsync python3 poppler-utils weasyprint fonts-noto-cjk)
if [[ ${1:-} == --tests ]]; then
  packages+=(clang-format unzip zip uchardet libxml2-utils epubcheck libmobi-tools default-jre-headless python3 calibre time)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
