#!/bin/sh
# Installs into a scratch prefix, checks the files land where a Unix tool's
# belong, and renders the manual page with every groff warning turned on.
# Usage: install_test.sh BUILD_DIR
set -eu
command -v man >/dev/null 2>&1 || { echo "skipped: man is not installed"; exit 77; }
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/wavwrap"
"$prefix/bin/wavwrap" --version
page="$prefix/share/man/man1/wavwrap.1"
test -f "$page"
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  printf 'the manual page renders with warnings:\n%s\n' "$warnings"
  exit 1
fi
MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q 'EXIT STATUS'
