#!/usr/bin/env python3
"""Writes docs/performance.md and docs/performance.png from one run's figures.

  perf_report.py ICOUNT.json BENCH.json DOCS_FOLDER

ICOUNT.json is `icount.py table`'s output (instructions per record and per
plug-in cycle), BENCH.json the benchmark suite's JSON output. The plot is
drawn with gnuplot.
"""

import json
import os
import subprocess
import sys
import tempfile


def seconds(entry):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[entry.get("time_unit", "ns")]
    return entry["real_time"] * scale


def human_time(value):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if value >= scale:
            return "%.3g %s" % (value / scale, unit)
    return "%.3g ns" % (value / 1e-9)


def human_count(value):
    if value >= 1e6:
        return "%.3gM" % (value / 1e6)
    return "%.3gk" % (value / 1000) if value >= 10000 else "%d" % value


def load_bench(path):
    """name -> {argument: entry} for every benchmark of the run (skipped ones too)."""
    with open(path, encoding="utf-8") as text:
        run = json.load(text)
    results = {}
    for entry in run["benchmarks"]:
        if entry.get("run_type") == "aggregate":
            continue
        name, _, argument = entry["name"].partition("/")
        argument = argument.split("/")[0].split(":")[-1]
        results.setdefault(name, {})[int(argument) if argument.isdigit() else argument] = entry
    return run.get("context", {}), results


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as text:
        counts = json.load(text)
    context, bench = load_bench(sys.argv[2])
    docs = sys.argv[3]

    def time_of(name, size):
        entry = bench.get(name, {}).get(size)
        return None if entry is None or entry.get("error_occurred") else seconds(entry)

    rows = []
    for record in counts["per_record"]:
        size = record["bytes"]
        rows.append(dict(record, t_relay=time_of("Relay", size), t_floor=time_of("Floor", size),
                         t_host=time_of("HostAlone", size), t_put=time_of("Put", size)))

    children = []
    for name, label in (("PlugInOneByOne", "one by one, enumerated after each"),
                        ("PlugInAllAtOnce", "all at once, one enumeration"), ("UnplugAll", "unplug-all")):
        for n, entry in sorted(bench.get(name, {}).items()):
            skipped = entry.get("error_occurred")
            children.append({"name": name, "label": label, "n": n,
                             "per_child": None if skipped else entry.get("per_child"),
                             "run": None if skipped else seconds(entry),
                             "pool": None if skipped else entry.get("pool_B_per_child"),
                             "why": entry.get("error_message", "") if skipped else ""})

    def t(value):
        return human_time(value) if value else "-"

    lines = [
        "# Performance",
        "",
        "Measured on the kernel host (`host/`), not on Windows: the figures say what the",
        "driver costs against what its work must cost at the least, and how much of a",
        "request is the host. Regenerate this page and `performance.png` with",
        "`./velmora bench --report`; the benchmarks alone run with `./velmora bench`.",
        "",
        "Instructions are callgrind's counts (the host build, `bench/velmora_icount`,",
        "with the C library's copy routines pinned to their SSE2 variants), exact and",
        "repeatable; times are the Google Benchmark suite's (the `bench`",
        "preset), wall clock on a machine shared with other work, so read them as",
        "rough. callgrind counts instructions in user mode only: the times also hold",
        "the system calls the host makes, such as the page protection its paged-pool",
        "guard changes at every raise to `DISPATCH_LEVEL` and back.",
        "The machine: %s CPUs at %s MHz, load average %s when the suite started." % (
            context.get("num_cpus", "?"), context.get("mhz_per_cpu", "?"),
            ", ".join("%.1f" % v for v in context.get("load_avg", [])) or "?"),
        "",
        "## Per record",
        "",
        "- **relay**: a child driver pushes a record of the size (the bus's callback),",
        "  the service fetches it (`IOCTL_CORVANE_GET_MSG` through the host's I/O",
        "  manager, with a buffer the record fits exactly).",
        "- **floor**: what any relay must do at the least: allocate the record, copy it",
        "  three times (into the queue, into the system buffer, out to the caller), free",
        "  it, and take and release a spin lock twice (malloc and an atomic flag).",
        "- **host alone**: the same fetch request with a code the bus does not know: the",
        "  host's request path and the bus's dispatch without a handler.",
        "- **driver's own**: instructions in the driver's own functions and the copies",
        "  and fills they make, none of the kernel routines they call.",
        "",
        "| bytes | relay | floor | host alone | driver's own | relay / floor | driver / floor "
        "| relay time | floor time | host-alone time | put time |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for row in rows:
        lines.append("| %d | %s | %s | %s | %s | %.1fx | %.2fx | %s | %s | %s | %s |" % (
            row["bytes"], human_count(row["relay"]), human_count(row["floor"]), human_count(row["host"]),
            human_count(row["driver"]), row["relay"] / row["floor"], row["driver"] / row["floor"],
            t(row["t_relay"]), t(row["t_floor"]), t(row["t_host"]), t(row["t_put"])))
    lines += [
        "",
        "Instructions are per record; relay / floor and driver / floor are their",
        "ratios. One plug-in, enumeration, unplug and enumeration of a child: %s" % human_count(
            counts["cycle"]["total"]),
        "instructions, %s of them the driver's own." % human_count(counts["cycle"]["driver"]),
        "",
    ]
    producers = bench.get("TwoProducersAtDispatch", {})
    if producers:
        lines.append("Two producers pushing at `DISPATCH_LEVEL` against one fetching service: " + ", ".join(
            "%s per record at %d bytes" % (t(entry.get("per_record")), size)
            for size, entry in sorted(producers.items()) if not entry.get("error_occurred")) + ".")
        lines.append("")
    lines += [
        "## Children at scale",
        "",
        "Time per child, the time for all N, and the pool the host accounts per",
        "child while all are present, the function driver on each child included",
        "(device objects and their extensions are the I/O manager's and not in the",
        "pool). A size whose one run the suite estimates beyond its limit (60 s)",
        "from the sizes before it is skipped, as is one that passes the limit while",
        "it runs, and says so.",
        "",
        "| children | way | per child | all N | pool per child |",
        "|---:|---|---:|---:|---:|",
    ]
    for child in children:
        if child["why"]:
            lines.append("| %d | %s | %s | | |" % (child["n"], child["label"], child["why"]))
        else:
            lines.append("| %d | %s | %s | %s | %.0f B |" % (child["n"], child["label"], t(child["per_child"]),
                                                             t(child["run"]), child["pool"] or 0))
    lines += ["", "![Instructions and time per record against payload size; time per child against N]"
              "(performance.png)", ""]
    with open(os.path.join(docs, "performance.md"), "w", encoding="utf-8") as page:
        page.write("\n".join(lines))

    with tempfile.TemporaryDirectory(prefix="velmora-report-") as work:
        with open(os.path.join(work, "record.dat"), "w", encoding="utf-8") as data:
            for row in rows:
                data.write("%d %d %d %d %d %s %s %s\n" % (
                    row["bytes"], row["relay"], row["floor"], row["host"], row["driver"],
                    *("%g" % (row[k] * 1e6) if row[k] else "NaN" for k in ("t_relay", "t_floor", "t_host"))))
        for name in ("PlugInOneByOne", "PlugInAllAtOnce", "UnplugAll"):
            with open(os.path.join(work, name + ".dat"), "w", encoding="utf-8") as data:
                for child in children:
                    if child["name"] == name and child["per_child"]:
                        data.write("%d %g\n" % (child["n"], child["per_child"] * 1e6))
        script = """
set terminal png size 1500,480 font ",10"
set output '{out}'
set multiplot layout 1,3
set logscale xy
set grid
set key top left
set xlabel 'payload (bytes)'
set ylabel 'instructions per record'
set title 'Instructions per record'
plot '{w}/record.dat' u 1:2 w lp t 'relay', '' u 1:4 w lp t 'host alone', '' u 1:5 w lp t "driver's own", '' u 1:3 w lp t 'floor'
set ylabel 'µs per record'
set title 'Time per record'
plot '{w}/record.dat' u 1:6 w lp t 'relay', '' u 1:8 w lp t 'host alone', '' u 1:7 w lp t 'floor'
set xlabel 'children (N)'
set ylabel 'µs per child'
set title 'Time per child'
plot '{w}/PlugInOneByOne.dat' u 1:2 w lp t 'one by one', '{w}/PlugInAllAtOnce.dat' u 1:2 w lp t 'all at once', '{w}/UnplugAll.dat' u 1:2 w lp t 'unplug-all'
unset multiplot
""".format(out=os.path.join(docs, "performance.png"), w=work)
        subprocess.run(["gnuplot"], input=script, text=True, check=True)
    print("perf_report: wrote %s and %s" % (os.path.join(docs, "performance.md"), os.path.join(docs, "performance.png")))


if __name__ == "__main__":
    main()
