#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and
# nothing when all are present. apt-get update runs only when something is
# missing; sudo is used when not running as root.
set -euo pipefail

packages=(
  clang lld llvm cmake ninja-build make python3
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev liblzma-dev
  libclang-rt-14-dev
  qemu-system-x86 ovmf
  clang-format clang-tidy
  xz-utils valgrind uefitool-cli
  python3-clang-14
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
