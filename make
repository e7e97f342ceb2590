#!/bin/sh
# ./make run, ./make test, ./make TARGET: the Makefile's targets on a machine
# that may have nothing but this folder, not even make. It installs the
# Debian packages the build and the tests need, make among them (as root;
# otherwise it prints the one apt-get line to run, and stops), then hands
# the targets to make. Where make is installed, `make run` and `make test`
# do the same.
set -eu
cd "$(dirname "$0")"
./scripts/install-deps
# The make on the PATH, never this script.
here=$(pwd -P)
IFS=:
for dir in $PATH; do
  if [ -x "$dir/make" ] && [ ! -d "$dir/make" ] && [ "$(cd "$dir" 2>/dev/null && pwd -P)" != "$here" ]; then
    unset IFS
    exec "$dir/make" "$@"
  fi
done
echo "./make: make is still not installed (apt-get install -y make)" >&2
exit 1
