#!/bin/sh
# Not a test: medians over interleaved rounds of each process's CPU time, as a ratio to the
# minimal call tree's measured just before, and peak memory, for the shipped build, the same
# build by Clang and a plain unoptimised one. Run by hand after the ci workflow.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
ln -s "$root/build" gcc
cmake --preset ci-clang -S "$root" -B clang -DBUILD_TESTING=OFF >/dev/null
cmake --build clang >/dev/null
mkdir O0 && g++ -std=c++20 -O0 -o O0/program1 "$root/program1.cpp"
for round in 1 2 3 4 5 6 7; do
	for build in gcc clang O0; do
		"$root/build/tests/driver" workload - - - - - "$build/program1" 2>/dev/null |
		    grep "^measured" >>"$build.txt"
	done
done
median() { cut -d' ' -f"$1" "$2.txt" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
printf '%-6s %8s %8s %10s\n' build 'CPU s' ratio 'peak KiB'
for build in gcc clang O0; do
	printf '%-6s %8s %8s %10s\n' $build "$(median 3 $build)" "$(median 2 $build)" "$(median 4 $build)"
done
