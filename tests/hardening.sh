#!/bin/sh
# hardening.sh READELF OPTION PROGRAM [REASON]: shows the program as readelf -W OPTION does, for
# the test to judge. REASON says why a static program cannot have the property: a program with
# no INTERP segment, which no loader starts, is then skipped.
if [ -n "${4-}" ] && ! "$1" -lW "$3" | grep -q INTERP; then
	echo "skipped: $4"
else
	exec "$1" -W "$2" "$3"
fi
