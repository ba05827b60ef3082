#!/usr/bin/env bash
# Runs the real velmora.sys under Wine, an independent kernel, and checks the
# bus from outside through its control device the way the service would:
# install, plug in, refuse a duplicate, unplug, refuse an unknown serial,
# remove. Wine drives the Plug and Play side (it enumerates the child and
# removes it again) with no help from the kernel host.
#
#   windows/wine/wine-check.sh PACKAGE_DIR
#
# PACKAGE_DIR holds velmora.sys, velmorainst.exe and velmoractl.exe (the
# build's windows/package). Needs wine64 (Debian's `wine64 wine`); a fresh
# prefix is made under $TMPDIR and removed afterwards.
set -uo pipefail

package="$(cd "${1:?usage: wine-check.sh PACKAGE_DIR}" && pwd)"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] || { echo "wine-check: $wine missing (apt-get install wine64 wine)" >&2; exit 2; }
for f in velmora.sys velmorainst.exe velmoractl.exe; do
  [ -f "$package/$f" ] || { echo "wine-check: $package/$f missing" >&2; exit 2; }
done

export WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine.XXXXXX")"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work="$WINEPREFIX/work"
cleanup() {
  timeout 20 "$wineserver" -k >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

passed=0
failed=0
# expect [--eventually] NAME WANT_EXIT WANT_TEXT -- COMMAND...: the command's
# exit code and a text its output must hold. Wine's Plug and Play manager works
# on its own thread: --eventually retries for up to forty-five seconds.
expect() {
  local tries=1
  if [ "$1" = --eventually ]; then
    tries=45
    shift
  fi
  local name="$1" want="$2" text="$3"
  shift 4
  local out code attempt
  for ((attempt = 1; attempt <= tries; attempt++)); do
    out="$(cd "$work" && timeout 60 "$wine" "$@" 2>&1)"
    code=$?
    out="$(tr -d '\r' <<<"$out")"
    if [ "$code" -eq "$want" ] && grep -qF -- "$text" <<<"$out"; then
      passed=$((passed + 1))
      echo "ok    $name"
      return
    fi
    [ "$attempt" -lt "$tries" ] && sleep 1
  done
  failed=$((failed + 1))
  echo "FAIL  $name: exit $code (wanted $want), output:"
  sed 's/^/      /' <<<"$out"
}

echo "wine-check: new prefix $WINEPREFIX"
# A persistent server keeps the driver host, and the bus in it, alive between
# the commands: otherwise every command would meet a freshly loaded bus.
"$wineserver" -p
timeout 120 "$wine" wineboot -i >/dev/null 2>&1 || { echo "wine-check: wineboot failed" >&2; exit 1; }
mkdir -p "$work"
cp "$package/velmora.sys" "$package/velmorainst.exe" "$package/velmoractl.exe" "$work/"

# The service manager stays locked for a moment after the prefix boots.
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  out="$(cd "$work" && timeout 60 "$wine" velmorainst.exe install-service velmora.sys 2>&1)" && break
  # A start that times out may still finish: the control device decides below.
  grep -q "error 1055" <<<"$out" || { echo "$out" | tr -d '\r'; break; }
  sleep 2
done
expect --eventually "the bus is installed and its control device opens" 0 "" -- velmoractl.exe list
expect "plug in serial 7" 0 "plug 7: ok" -- velmoractl.exe plug 7 'VELMORA\BTNET'
expect "a second serial 7 is refused" 13 "STATUS_INVALID_PARAMETER" -- velmoractl.exe plug 7 'VELMORA\BTNET'
expect "unplug serial 7" 0 "unplug 7: ok" -- velmoractl.exe unplug 7
expect --eventually "serial 7 is gone once Wine removed it" 14 "STATUS_NO_SUCH_DEVICE" -- velmoractl.exe unplug 7
expect "remove the bus and its service" 0 "" -- velmorainst.exe remove --service

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
