#!/bin/sh
# Compares the shipped build and the same build by Clang with the minimal call tree and with
# a plain unoptimised build. Run by hand after building the ci preset.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
ln -s "$root/build" gcc
cmake --preset ci-clang -S "$root" -B clang -DBUILD_TESTING=OFF >/dev/null
cmake --build clang >/dev/null
mkdir O0 && g++ -std=c++20 -O0 -o O0/program1 "$root/program1.cpp"
"$root/build/tests/driver" bench gcc/program1 clang/program1 O0/program1
