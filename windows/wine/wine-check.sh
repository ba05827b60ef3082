#!/usr/bin/env bash
# Runs the real velmora.sys under Wine, an independent kernel, and checks the
# bus from outside through its control device the way the service would:
# install, plug in, refuse a duplicate, unplug, refuse an unknown serial,
# remove. Wine drives the Plug and Play side (it enumerates the child and
# removes it again) with no help from the kernel host.
#
# Then the same for the whole road with velmora-winetest.sys (the one image
# whose pass-event takes a handle duplicated into the driver host, see the
# README): velmoraroad.exe plugs in several children, checks their IDs,
# passes records down and their echoes up through the event and the queue,
# crosses the flow-control marks, unplugs, removes the bus with children on
# it, and runs every control code's contract checks; the driver is unloaded.
# Its observations are compared with the same road on the kernel host.
#
#   windows/wine/wine-check.sh [--log FILE] [--road-out FILE] [--host-road PROGRAM] PACKAGE_DIR
#
# PACKAGE_DIR holds velmora.sys, velmora-winetest.sys, velmorachild.sys with
# its INF, velmorainst.exe, velmoractl.exe and velmoraroad.exe (the build's
# windows/package). --road-out keeps the road's observations under Wine;
# --host-road is the kernel host's velmoraroad, which runs the road and
# compares. Needs wine64 (Debian's `wine64 wine`). A fresh
# prefix is made under $TMPDIR and removed afterwards, with every Wine process
# of it. FILE (default: a new file under $TMPDIR) keeps the whole run: each
# step's command, every attempt's output, Wine's own log and the driver
# host's; it is kept.
#
# Exit status: 0 every check passed; 1 a check failed or hung (the message
# names the step); 77 Wine itself is not usable here (missing, or the prefix
# did not boot) and nothing of the driver ran; 2 a bad command line.
#
# How the prefix is booted matters. Any Wine program started from a shell
# boots a new prefix first (`wineboot --init`, which starts the service
# manager). `wineboot -i` run by hand is such a program, so on a fresh prefix
# it boots it and then initialises it a second time: a second services.exe
# starts next to the first. The two answer the same service-control pipe
# with different service lists and race for each service's control pipe,
# which is where "Service database locked" (1055) and "Service request
# timeout" (1053) at the driver's start came from. So the prefix is booted by
# a program that does nothing, with its output in a file: the services it
# starts inherit its standard handles and outlive it.
set -uo pipefail

usage="usage: wine-check.sh [--log FILE] [--road-out FILE] [--host-road PROGRAM] PACKAGE_DIR"
log=""
road_out=""
host_road=""
while [ $# -gt 1 ]; do
  case "$1" in
    --log) log="${2:?$usage}" ;;
    --road-out) road_out="${2:?$usage}" ;;
    --host-road) host_road="${2:?$usage}" ;;
    *) break ;;
  esac
  shift 2
done
[ $# -eq 1 ] || { echo "$usage" >&2; exit 2; }
package="$(cd "$1" && pwd)" || exit 2
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] && [ -x "$wineserver" ] ||
  { echo "wine-check: not run: $wine missing (apt-get install wine64 wine)" >&2; exit 77; }
for f in velmora.sys velmora-winetest.sys velmorachild.sys velmorachild.inf velmorainst.exe velmoractl.exe \
  velmoraroad.exe; do
  [ -f "$package/$f" ] || { echo "wine-check: $package/$f missing" >&2; exit 2; }
done
[ -n "$log" ] || log="$(mktemp "${TMPDIR:-/tmp}/velmora-wine.XXXXXX.log")"
: >"$log" || exit 2
log="$(cd "$(dirname "$log")" && pwd)/$(basename "$log")"

# The whole run stays under three minutes: every step's timeout is cut to what
# is left of this budget, which leaves room for the teardown.
budget=140
started=$SECONDS

run_dir="$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine.XXXXXX")" || exit 2
export WINEPREFIX="$run_dir/prefix" WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
# The programs the checks run print only their own output; the services and
# the driver host report Wine's errors and what the drivers print (DbgPrint).
export WINEDEBUG=-all
host_debug="${VELMORA_WINE_HOST_DEBUG:--all,err+all,warn+debugstr}"
work="$WINEPREFIX/drive_c/velmora"
step_out="$run_dir/out"
host_log="$run_dir/host.log"

cleanup() {
  timeout 15 "$wineserver" -k >/dev/null 2>&1
  timeout 15 "$wineserver" -w >/dev/null 2>&1
  if [ -s "$host_log" ]; then
    {
      echo "=== the service manager's and the driver host's log"
      tr -d '\r' <"$host_log"
    } >>"$log"
  fi
  rm -rf "$run_dir"
}
trap cleanup EXIT
trap 'echo "wine-check: interrupted" >&2; exit 1' INT TERM

note() { printf '[%3ds] %s\n' "$((SECONDS - started))" "$*" >>"$log"; }
left() { echo $((budget - (SECONDS - started))); }

# wine_run LIMIT COMMAND...: one Wine program in the work folder, its output in
# $out and the log; never a $(...) capture, so a process that inherits the
# output cannot hold the run. Sets $code (124: it hung).
out="$step_out"
wine_run() {
  local limit="$1"
  shift
  local cap
  cap="$(left)"
  [ "$cap" -lt "$limit" ] && limit="$cap"
  if [ "$limit" -le 0 ]; then
    echo "the run's $budget s were used up before it started" >"$out"
    code=124
  else
    (cd "$work" && timeout -k 5 "$limit" "$wine" "$@") >"$out" 2>&1 </dev/null
    code=$?
  fi
  note "  $* -> exit $code"
  [ "$out" = "$step_out" ] && tr -d '\r' <"$out" | sed 's/^/    /' >>"$log"
}

# The prefix's Wine processes with their age, for the log: a driver host or
# service manager that restarted shows as a young one.
processes() {
  local pid
  note "Wine processes of the prefix (pid, seconds alive, command):"
  for pid in $(pgrep -f '^[A-Z]:\\' 2>/dev/null); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    ps -o pid=,etimes=,args= -p "$pid" | sed 's/^/    /' >>"$log"
  done
}

passed=0
failed=0
fail_step() {
  processes
  failed=$((failed + 1))
  echo "FAIL  $1"
  shift
  for line in "$@"; do echo "      $line"; done
  tr -d '\r' <"$step_out" | tail -20 | sed 's/^/      | /'
}

# expect [--eventually] NAME WANT_EXIT WANT_TEXT -- COMMAND...: the command's
# exit code and a text its output must hold. Wine's Plug and Play manager works
# on its own thread: --eventually tries again for up to forty-five seconds.
expect() {
  local until=$SECONDS
  if [ "$1" = --eventually ]; then
    until=$((SECONDS + 45))
    shift
  fi
  local name="$1" want="$2" text="$3"
  shift 4
  local attempt=0
  note "step: $name"
  while :; do
    attempt=$((attempt + 1))
    note " attempt $attempt"
    wine_run 60 "$@"
    if [ "$code" -eq "$want" ] && tr -d '\r' <"$step_out" | grep -qF -- "$text"; then
      passed=$((passed + 1))
      echo "ok    $name"
      return 0
    fi
    [ "$code" -eq 124 ] && break
    [ "$SECONDS" -ge "$until" ] || [ "$(left)" -le 0 ] && break
    sleep 1
  done
  if [ "$code" -eq 124 ]; then
    fail_step "$name" "hung: '$*' did not finish in time (attempt $attempt)"
  else
    fail_step "$name" "'$*' exit $code (wanted $want)${text:+, output without \"$text\"} after $attempt attempt(s)"
  fi
  return 1
}

finish() {
  note "end: $passed passed, $failed failed"
  echo "$passed passed, $failed failed ($((SECONDS - started)) s; log: $log)"
  [ "$failed" -eq 0 ]
  exit $?
}

echo "wine-check: new prefix $WINEPREFIX"
note "prefix $WINEPREFIX; $("$wine" --version 2>&1); load $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
mkdir -p "$work"
cp "$package/velmora.sys" "$package/velmora-winetest.sys" "$package/velmorainst.exe" "$package/velmoractl.exe" \
  "$package/velmoraroad.exe" "$work/"
# A persistent server keeps the driver host, and the bus in it, alive between
# the commands: without it every command would meet a freshly loaded bus
# (Wine restarts its services, which start the bus again, empty), and an
# unplug after a plug-in would find no child. It needs the prefix's folder.
if ! "$wineserver" -p >>"$log" 2>&1 </dev/null; then
  echo "wine-check: not run: Wine's server did not start; see $log" >&2
  exit 77
fi
note "step: boot the prefix"
out="$host_log"
WINEDEBUG="$host_debug" wine_run 120 cmd.exe /c exit
out="$step_out"
if [ "$code" -ne 0 ]; then
  [ "$code" -eq 124 ] && why="hung" || why="exit $code"
  echo "wine-check: not run: Wine did not boot the prefix ($why); see $log" >&2
  exit 77
fi

# One service manager (a second one, see above, is what broke the driver's
# start): the log shows the processes the boot left running.
processes

note "step: install the bus"
wine_run 90 velmorainst.exe install-service velmora.sys
if [ "$code" -eq 0 ]; then
  passed=$((passed + 1))
  echo "ok    the bus is installed and its service started"
else
  [ "$code" -eq 124 ] && fail_step "install the bus" "hung: velmorainst install-service did not finish in time" ||
    fail_step "install the bus" "velmorainst install-service exit $code (a Win32 error; the log has its output)"
  finish
fi
expect --eventually "the control device opens" 0 "children on the bus" -- velmoractl.exe list || finish

# The sample child driver for the children. Wine cannot stage the package the
# way Windows does (SetupCopyOEMInf wants its signed catalog), but its Plug and
# Play manager looks for drivers of a new device in the oem INFs of the INF
# folder and copies the image from beside the INF.
note "step: stage velmorachild.inf"
inf_dir="$WINEPREFIX/drive_c/windows/inf"
n=0
while [ -e "$inf_dir/oem$n.inf" ]; do n=$((n + 1)); done
if cp "$package/velmorachild.inf" "$inf_dir/oem$n.inf" && cp "$package/velmorachild.sys" "$inf_dir/"; then
  note "  as oem$n.inf"
  passed=$((passed + 1))
  echo "ok    the child driver's package is staged"
else
  : >"$step_out"
  fail_step "stage velmorachild.inf" "could not copy it into $inf_dir"
  finish
fi

expect "plug in serial 7" 0 "plug 7: ok" -- velmoractl.exe plug 7 'VELMORA\BTNET'
# The bus takes a record for a child only once its driver has exchanged
# callbacks with it, so this is Wine loading velmorachild.sys on the child.
expect --eventually "a record put down reaches the child driver" 0 "bytes: ok" -- velmoractl.exe put hello
expect "a second serial 7 is refused" 13 "STATUS_INVALID_PARAMETER" -- velmoractl.exe plug 7 'VELMORA\BTNET'
expect "unplug serial 7" 0 "unplug 7: ok" -- velmoractl.exe unplug 7
expect --eventually "serial 7 is gone once Wine removed it" 14 "STATUS_NO_SUCH_DEVICE" -- velmoractl.exe unplug 7
expect "remove the bus and its service" 0 "service velmora deleted" -- velmorainst.exe remove --service
expect "the driver host unloaded velmora.sys" 0 "ok no driver host" -- velmoraroad.exe --unloaded || finish

# The whole road, with the test image in the same prefix: the child driver is
# still loaded from the checks above, and the road counts its devices from
# where they are.
note "step: install the Wine test image"
wine_run 90 velmorainst.exe install-service velmora-winetest.sys
if [ "$code" -eq 0 ]; then
  passed=$((passed + 1))
  echo "ok    velmora-winetest.sys is installed and its service started"
else
  fail_step "install the Wine test image" "velmorainst install-service velmora-winetest.sys exit $code"
  finish
fi
expect --eventually "the test image's control device opens" 0 " on the bus" -- velmoractl.exe list || finish
note "step: the road"
wine_run 120 velmoraroad.exe --event-into-driver-host --driver-log "Z:$host_log" --observed "Z:$run_dir/road.txt"
road_failed=0
while IFS= read -r line; do
  case "$line" in
    "ok "*) passed=$((passed + 1)); echo "ok    road: ${line#ok }" ;;
    "FAIL "*) failed=$((failed + 1)); road_failed=1; echo "FAIL  road: ${line#FAIL }" ;;
  esac
done < <(tr -d '\r' <"$step_out")
if [ "$code" -ne 0 ] && [ "$road_failed" -eq 0 ]; then
  fail_step "the road" "velmoraroad.exe exit $code with no failed check (hung or crashed)"
fi
[ -n "$road_out" ] && [ -f "$run_dir/road.txt" ] && tr -d '\r' <"$run_dir/road.txt" >"$road_out"
expect "remove the test image's service" 0 "service velmora deleted" -- velmorainst.exe remove --service
expect "the driver host unloaded the test image" 0 "ok no driver host" -- velmoraroad.exe --unloaded

# The same road on the kernel host, and what differs from Wine's run beyond
# what Wine is known to do differently.
if [ -n "$host_road" ] && [ -f "$run_dir/road.txt" ]; then
  note "step: compare with the kernel host"
  tr -d '\r' <"$run_dir/road.txt" >"$run_dir/road-wine.txt"
  "$host_road" --compare "$run_dir/road-wine.txt" >"$step_out" 2>&1
  code=$?
  tr -d '\r' <"$step_out" | sed 's/^/    /' >>"$log"
  if [ "$code" -eq 0 ]; then
    passed=$((passed + 1))
    echo "ok    the kernel host's road agrees with Wine's"
  else
    fail_step "the kernel host's road agrees with Wine's" "$host_road --compare exit $code"
  fi
fi

# What Wine reports when a driver faults or calls what it does not implement.
note "step: the driver host's log"
if grep -aE "Unhandled exception|unimplemented function|Unhandled page fault|wine: Call from" "$host_log" >"$step_out"; then
  fail_step "the driver host logged no crash and no unimplemented call"
else
  passed=$((passed + 1))
  echo "ok    the driver host logged no crash and no unimplemented call"
fi

finish
