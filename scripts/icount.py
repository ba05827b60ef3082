#!/usr/bin/env python3
"""Instruction counts of the bus's hot paths, from callgrind.

Runs bench's velmora_icount under callgrind, which counts only the runs of
one operation (it turns instrumentation on around them), and reads per
operation:

  total    every instruction of the operation: driver, kernel host, C library
  driver   the driver's own: instructions in functions of the driver's
           folders (with what is inlined into them) and the memory copies
           and fills they call (RtlCopyMemory, RtlZeroMemory), but none of
           the kernel routines they call (pool, locks, requests, events)

Commands:
  measure          print the checked figures
  baseline FILE    write them to FILE
  check FILE       measure and fail if any figure is more than 10% above FILE's
  spread           measure each figure --runs times, each run from its own
                   folder with a different environment size (which moves the
                   stack), and print the spread
  table            per payload size: relay, floor, host alone and the
                   driver's own, as JSON (for the report)
"""

import argparse
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

TOLERANCE = 0.10

# (figure, program arguments, counted runs). Enough runs that the per-run
# figure does not move with what a single run happens to meet.
CHECKED = [
    ("relay.16", ["relay", "16"], 1000),
    ("relay.1500", ["relay", "1500"], 1000),
    ("cycle", ["cycle"], 100),
    ("relations.1000", ["relations", "1000"], 10),
]
SIZES = [16, 64, 1500, 65536]

# The C library picks its copy and string routines by the CPU's features
# (SSE2, AVX2, AVX-512, fast rep movsb), and each variant takes a different
# number of instructions for one copy. Turning the optional features off
# gives every x86-64 machine the SSE2 variants, so the counts, and with them
# the check, do not depend on which CPU the baseline was made on.
PINNED_CPU = ("glibc.cpu.hwcaps=-AVX,-AVX2,-AVX512F,-AVX512VL,-AVX512BW,-AVX512DQ,-ERMS,-FSRM,"
              "-AVX_Fast_Unaligned_Load,-SSSE3,-SSE4_1,-SSE4_2:glibc.cpu.x86_non_temporal_threshold=0x8000000")

DRIVER_FOLDERS = ("driver", "control", "bus", "child", "channel", "include")
# What RtlCopyMemory and RtlZeroMemory come to in the C library (any variant).
MEMORY_ROUTINE = re.compile(r"^(__)?(mem(cpy|move|set)|wmem(cpy|set))([_@.].*)?$")


def in_driver_folder(path):
    """Whether a source file is the driver's. Compiler caches shared between
    checkouts leave paths relative to some build folder, even another
    checkout's, so only the file's own folder and its parent are looked at
    (the kernel host has an include folder too)."""
    parts = os.path.normpath(path).split(os.sep)
    return len(parts) >= 2 and parts[-2] in DRIVER_FOLDERS and (len(parts) < 3 or parts[-3] != "host")


def parse(path):
    """(total, driver) instructions of one callgrind output file."""
    total = driver = 0
    fl = fn_file = ""
    in_driver = False
    pending_call = False  # the next cost line is a call's inclusive cost
    call_counts = False
    with open(path, encoding="utf-8", errors="replace") as out:
        for line in out:
            if line.startswith("totals:") or line.startswith("summary:"):
                total = max(total, int(line.split()[1]))
            elif line.startswith("fl="):
                fl = line[3:].strip()
            elif line.startswith("fn="):
                fn_file = fl
                in_driver = in_driver_folder(fn_file)
            elif line.startswith("cfn="):
                callee = line[4:].strip().split("'")[0]
                call_counts = in_driver and bool(MEMORY_ROUTINE.match(callee))
            elif line.startswith("calls="):
                pending_call = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                fields = line.split()
                cost = int(fields[1]) if len(fields) > 1 else 0
                if pending_call:
                    if call_counts:
                        driver += cost
                    pending_call = False
                elif in_driver:
                    driver += cost
    return total, driver


def run(program, args, count, pad=0):
    """Per-operation (total, driver) of `count` counted runs of one operation."""
    work = tempfile.mkdtemp(prefix="velmora-icount-")
    try:
        out = os.path.join(work, "callgrind.out")
        env = dict(os.environ, VELMORA_ICOUNT_PAD="x" * pad, GLIBC_TUNABLES=PINNED_CPU)
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", "--instr-atstart=no", "--compress-strings=no",
             "--compress-pos=no", "--callgrind-out-file=" + out, program] + args + [str(count)],
            cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            sys.exit("icount: %s %s failed:\n%s" % (os.path.basename(program), " ".join(args),
                                                    result.stderr[-3000:]))
        total, driver = parse(out)
        return total / count, driver / count
    finally:
        shutil.rmtree(work, ignore_errors=True)


def parallel(jobs):
    """Runs (program, args, count, pad) jobs two at a time, results in order."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        return list(pool.map(lambda job: run(*job), jobs))


def measure(options, pad=0):
    results = parallel([(options.program, args, count, pad) for _, args, count in CHECKED])
    figures = {}
    for (name, _, _), (total, driver) in zip(CHECKED, results):
        figures[name + ".total"] = round(total)
        figures[name + ".driver"] = round(driver)
    return figures


def read_baseline(path):
    figures = {}
    with open(path, encoding="utf-8") as baseline:
        for line in baseline:
            line = line.split("#", 1)[0].strip()
            if line:
                name, value = line.split()
                figures[name] = int(value)
    return figures


def describe_build(program):
    """The compiler and build type the counts belong to, from the build's cache."""
    cache = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(program))), "CMakeCache.txt")
    found = {}
    if os.path.exists(cache):
        with open(cache, encoding="utf-8") as text:
            for line in text:
                for key in ("CMAKE_BUILD_TYPE", "CMAKE_CXX_COMPILER"):
                    if line.startswith(key + ":"):
                        found[key] = line.split("=", 1)[1].strip()
    compiler = found.get("CMAKE_CXX_COMPILER", "c++")
    try:
        version = subprocess.run([compiler, "--version"], stdout=subprocess.PIPE, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        version = compiler
    valgrind = subprocess.run(["valgrind", "--version"], stdout=subprocess.PIPE, text=True).stdout.strip()
    return "%s build, %s, %s" % (found.get("CMAKE_BUILD_TYPE", "?"), version, valgrind)


def cmd_baseline(options):
    figures = measure(options)
    with open(options.file, "w", encoding="utf-8") as baseline:
        baseline.write("# Instructions per operation (callgrind), checked by the perf.instructions test:\n")
        baseline.write("# a figure more than %d%% above its line here fails it.\n" % round(TOLERANCE * 100))
        baseline.write("# Regenerate with ./velmora bench --baseline. %s\n" % describe_build(options.program))
        baseline.write("# relay.SIZE: a child driver pushes a SIZE-byte record, the service fetches it;\n")
        baseline.write("# cycle: plug-in, enumeration, unplug, enumeration of one child;\n")
        baseline.write("# relations.N: a bus-relations answer listing N started children, with the manager's\n")
        baseline.write("# work on it (grows past 10% if either stops being linear in the children);\n")
        baseline.write("# .total: everything; .driver: the driver's own code and the copies it makes.\n")
        baseline.write("# The C library's routines are pinned to their SSE2 variants (PINNED_CPU in icount.py).\n")
        for name, value in figures.items():
            baseline.write("%s %d\n" % (name, value))
    for name, value in figures.items():
        print("%-18s %10d" % (name, value))
    print("icount: wrote %s" % options.file)


def compare(baseline, figures):
    """(report lines, names of the figures that fail) for measured `figures`."""
    lines = ["%-18s %10s %10s %8s" % ("figure", "baseline", "now", "change")]
    worse = []
    for name in sorted(set(baseline) | set(figures)):
        if name not in figures or name not in baseline:
            worse.append(name)
            lines.append("%-18s %s" % (name, "missing from the baseline" if name in figures else "no longer measured"))
            continue
        change = figures[name] / baseline[name] - 1 if baseline[name] else 0.0
        # Nothing counted means the counting broke (the driver's sources not
        # recognised, say), not that the code became free.
        failed = figures[name] > baseline[name] * (1 + TOLERANCE) or figures[name] == 0
        if failed:
            worse.append(name)
        lines.append("%-18s %10d %10d %+7.1f%%%s" % (name, baseline[name], figures[name], change * 100,
                                                     "  WORSE" if failed else ""))
    return lines, worse


def cmd_check(options):
    lines, worse = compare(read_baseline(options.file), measure(options))
    print("\n".join(lines))
    if worse:
        print("icount: more than %d%% worse than %s (or missing): %s" % (round(TOLERANCE * 100), options.file,
                                                                        ", ".join(worse)))
        print("icount: if the change is meant, regenerate it with ./velmora bench --baseline")
        return 1
    print("icount: every figure within %d%% of the baseline" % round(TOLERANCE * 100))
    return 0


def cmd_spread(options):
    runs = [measure(options, pad=37 * run) for run in range(options.runs)]
    print("%-18s %10s %10s %8s  (%d runs)" % ("figure", "min", "max", "spread", options.runs))
    for name in runs[0]:
        values = [figures[name] for figures in runs]
        low, high = min(values), max(values)
        print("%-18s %10d %10d %7.3f%%" % (name, low, high, (high - low) / low * 100 if low else 0))
    return 0


def cmd_table(options):
    jobs = []
    for size in SIZES:
        count = 100 if size > 4096 else 1000
        for what in ("relay", "floor", "host"):
            jobs.append((options.program, [what, str(size)], count, 0))
    results = iter(parallel(jobs))
    table = []
    for size in SIZES:
        relay, floor, host = next(results), next(results), next(results)
        table.append({"bytes": size, "relay": round(relay[0]), "driver": round(relay[1]),
                      "floor": round(floor[0]), "host": round(host[0])})
    cycle = run(options.program, ["cycle"], 100)
    json.dump({"per_record": table, "cycle": {"total": round(cycle[0]), "driver": round(cycle[1])}},
              sys.stdout, indent=1)
    print()
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True, help="the velmora_icount executable")
    parser.add_argument("--runs", type=int, default=5, help="runs per figure for spread")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("measure")
    sub.add_parser("spread")
    sub.add_parser("table")
    for name in ("baseline", "check"):
        sub.add_parser(name).add_argument("file")
    options = parser.parse_args()
    options.program = os.path.abspath(options.program)
    if shutil.which("valgrind") is None:
        sys.exit("icount: valgrind is not installed (./velmora setup installs it)")
    if options.command == "measure":
        for name, value in measure(options).items():
            print("%-18s %10d" % (name, value))
        return 0
    return {"baseline": cmd_baseline, "check": cmd_check, "spread": cmd_spread, "table": cmd_table}[
        options.command](options)


if __name__ == "__main__":
    sys.exit(main())
