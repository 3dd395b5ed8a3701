#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and benchmarking need.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

packages=(
  cmake ninja-build g++ git pkg-config
  libprotobuf-dev protobuf-compiler
  libasound2-dev libflac++-dev libsndfile1-dev
  nlohmann-json3-dev libhidapi-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-protobuf libhamlib-utils
  clang libclang-rt-14-dev
)

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then exit 0; fi

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
