#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quick when all are present.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  tao-pegtl-dev libgtest-dev libbenchmark-dev libsimdjson-dev libpcre2-dev libutf8proc-dev
  python3 python3-dev python3-pytest python3-hypothesis python3-setuptools python3-wheel
  clang-14 libclang-rt-14-dev valgrind
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == *'install ok installed'* ]] || missing+=("$package")
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
