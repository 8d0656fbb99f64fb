#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail
packages=(cmake g++ clang libclang-rt-14-dev make libfmt-dev libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libsdbus-c++-dev dbus-daemon bluez
          pybind11-dev python3-dev python3-pytest python3-pytest-asyncio mypy
          # The wheel: built offline with Debian's build frontend and setuptools, installed into venvs.
          python3-build python3-setuptools python3-wheel python3-venv
          # The testbed: the real stack in a QEMU guest.
          qemu-system-x86 linux-image-amd64 busybox-static bluez-test-tools python3-dbus python3-gi)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
