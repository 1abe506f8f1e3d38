#!/bin/sh
# manual-lint.sh PAGE: fails on any message of mandoc's lint down to style, but those on the .Xr
# targets, which it looks up in a mandoc.db that Debian lacks.
! mandoc -T lint -W style "$1" 2>&1 | grep -v -e 'outdated mandoc.db' -e 'referenced manual not found'
