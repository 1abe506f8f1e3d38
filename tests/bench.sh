#!/bin/sh
# Compares the shipped build with the minimal call tree, with a plain unoptimised build and
# with a plain C build of the same source. Run by hand after building the ci preset.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/O0" "$tmp/C"
g++ -std=c++20 -O0 -o "$tmp/O0/program1" "$root/program1.cpp"
gcc -x c -std=gnu2x -O2 -Wno-attributes -Dnullptr=NULL -o "$tmp/C/program1" "$root/program1.cpp"
"$root/build/tests/driver" bench "$root/build/program1" "$tmp/O0/program1" "$tmp/C/program1"
