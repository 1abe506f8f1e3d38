#!/bin/sh
# Not a test: medians over interleaved rounds of each process's CPU time, as a ratio to the minimal
# call tree's measured just before, and peak memory, for the ci build, the same by Clang, the plain
# CMake build, the ci build's object linked one 64-byte cache line further on (does the cost follow
# the address?) and an unoptimised build. Run after the ci workflow.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd) && driver=$root/build-ci/tests/driver
[ -x "$driver" ] || { echo "bench.sh: no $driver: run 'cmake --workflow --preset ci' first" >&2; exit 1; }
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT && cd "$tmp"
echo "ci: build-ci/, by $(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$root/build-ci/CMakeCache.txt")"
ln -s "$root/build-ci" ci
cmake --preset ci-clang -S "$root" -B clang -DBUILD_TESTING=OFF >/dev/null && cmake --build clang >/dev/null
cmake -S "$root" -B plain -DBUILD_TESTING=OFF >/dev/null && cmake --build plain >/dev/null
printf '.text\n.fill 64,1,0x90\n.section .note.GNU-stack,"",%%progbits\n' >pad.s && mkdir shifted O0
c++ -o shifted/program1 pad.s "$root"/build-ci/CMakeFiles/program1.dir/program1.cpp.o
c++ -std=c++20 -O0 -o O0/program1 "$root/program1.cpp"
builds="ci clang plain shifted O0"
for _ in 1 2 3 4 5 6 7; do for build in $builds; do
	"$driver" workload "$build/program1" 2>/dev/null | grep "^measured" >>"$build.txt"
done; done
median() { cut -d' ' -f"$1" "$2.txt" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
printf '%-9s %14s %8s %8s %10s\n' build recursiveCall 'CPU s' ratio 'peak KiB'
for build in $builds; do
	at=$(objdump -d -C "$build/program1" | sed -n 's/^0*\([0-9a-f]*\) <recursiveCall(int)>:/0x\1/p')
	printf '%-9s %14s %8s %8s %10s\n' "$build" "$at" "$(median 3 "$build")" "$(median 2 "$build")" "$(median 4 "$build")"
done
