#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Talvo (run as root).
set -euo pipefail
packages=(build-essential g++ cmake make mpich libmpich-dev libgtest-dev libgmock-dev googletest
          libbenchmark-dev clang libclang-rt-14-dev libomp-dev python3)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
