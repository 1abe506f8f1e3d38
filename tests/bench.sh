#!/bin/sh
# Compares the shipped build and the same build by Clang with the minimal call tree, with a
# plain unoptimised build and with a plain C build of the same source. Run by hand after
# building the ci preset.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
mkdir O0 C
ln -s "$root/build" gcc
cmake --preset ci-clang -S "$root" -B clang -DBUILD_TESTING=OFF >/dev/null
cmake --build clang >/dev/null
g++ -std=c++20 -O0 -o O0/program1 "$root/program1.cpp"
gcc -x c -std=gnu2x -O2 -Wno-attributes -Dnullptr=NULL -o C/program1 "$root/program1.cpp"
"$root/build/tests/driver" bench gcc/program1 clang/program1 O0/program1 C/program1
