#!/usr/bin/env bash
# Installs the build into a staging folder (DESTDIR) and checks that the
# installed commands start from there, the man pages and the unit file are
# in place, and systemd accepts the unit (when systemd-analyze is here).
# Arguments: the build folder and its install prefix.
set -euo pipefail
build="$1"
prefix="$2"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT

DESTDIR="$stage" cmake --install "$build" >/dev/null
root="$stage$prefix"
"$root/sbin/zorhostd" --version
"$root/bin/zorhost" --version
"$root/bin/zorinfo" --version
for page in share/man/man1/zorhost.1 share/man/man1/zorinfo.1 share/man/man8/zorhostd.8; do
  test -s "$root/$page" || { echo "missing $page"; exit 1; }
done
unit="$root/lib/systemd/system/zorhostd.service"
grep -q "^ExecStart=$prefix/sbin/zorhostd --foreground" "$unit"
if command -v systemd-analyze >/dev/null; then
  # The unit names the installed path; point it at the staged one.
  sed "s#$prefix/sbin/zorhostd#$root/sbin/zorhostd#" "$unit" >"$stage/zorhostd.service"
  MANPATH="$root/share/man" systemd-analyze verify "$stage/zorhostd.service"
else
  echo "systemd-analyze is not here: the unit file was not verified"
fi
echo "install test: passed"
