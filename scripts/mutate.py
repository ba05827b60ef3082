#!/usr/bin/env python3
"""Mutation runner: would the tests notice a driver broken one line at a time?

    scripts/mutate.py [--only ID[,ID...]] [--timeout SECONDS] [--keep] [--workdir DIR] [--check] [LIST]

LIST defaults to tests/mutation/mutants.txt. The checked-out tree (tracked and
untracked files, not ignored ones) is copied into a fresh temporary folder, the
default preset is configured there once without the Windows cross build and
built once, and the unchanged suite must pass before any mutant is tried. Then
each mutant in turn: its one change is made, the test executables are rebuilt
incrementally, the suite runs (ctest -j2, a per-test timeout so that a hang
counts as caught, stopping at the first failure; the quick tests first, the
fault sweep only if they all pass; not the model, the static analysis or the
instruction-count check), the file is put back. The
worktree itself is never written.

Outcomes: killed (a test failed or timed out), survived (the suite passed),
does-not-compile (a fault in the list, not a catch: it fails the run too),
equivalent (not run; the list says why no test can see it). The score is
killed / (total - equivalent); the exit code is 0 only when every mutant that
is not marked equivalent was killed, 1 otherwise, 2 for a list or setup fault.

The list is blocks of this form, separated by blank lines; '#' starts a
comment line outside the text sections:

    id: bus.cancel-restores-from-any-state
    file: bus/netbus_pnp.cpp
    kind: state restored from the wrong state
    equivalent: <why no caller can tell>        (optional)
    <<<
    exact original text, one or more whole lines, found exactly once
    ===
    its replacement (may be empty)
    >>>
"""

import argparse
import filecmp
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_LIST = os.path.join(ROOT, "tests", "mutation", "mutants.txt")


class ListError(Exception):
    pass


class Mutant:
    def __init__(self, line):
        self.line = line
        self.id = None
        self.file = None
        self.kind = None
        self.equivalent = None
        self.original = None
        self.replacement = None
        self.outcome = None
        self.detail = ""
        self.seconds = 0.0


def parse_list(path):
    """Reads the mutant list; raises ListError on a malformed entry."""
    mutants = []
    with open(path, encoding="utf-8") as handle:
        lines = handle.read().split("\n")
    i = 0
    current = None
    while i < len(lines):
        line = lines[i]
        stripped = line.strip()
        if current is None:
            if not stripped or stripped.startswith("#"):
                i += 1
                continue
            current = Mutant(i + 1)
        if stripped == "<<<":
            original, replacement = [], []
            target = original
            i += 1
            while True:
                if i >= len(lines):
                    raise ListError(f"{path}:{current.line}: text section not closed with >>>")
                if lines[i] == "===" and target is original:
                    target = replacement
                elif lines[i] == ">>>":
                    break
                else:
                    target.append(lines[i])
                i += 1
            if target is original:
                raise ListError(f"{path}:{current.line}: no === between original and replacement")
            current.original = "\n".join(original) + "\n"
            current.replacement = "\n".join(replacement) + "\n" if replacement else ""
            for field in ("id", "file", "kind"):
                if not getattr(current, field):
                    raise ListError(f"{path}:{current.line}: entry lacks '{field}:'")
            mutants.append(current)
            current = None
            i += 1
            continue
        if not stripped or stripped.startswith("#"):
            i += 1
            continue
        match = re.match(r"^(id|file|kind|equivalent):\s*(.*)$", stripped)
        if not match:
            raise ListError(f"{path}:{i + 1}: expected 'id:', 'file:', 'kind:', 'equivalent:' or <<<")
        key, value = match.groups()
        if not value:
            raise ListError(f"{path}:{i + 1}: '{key}:' is empty")
        if getattr(current, key) is not None:
            raise ListError(f"{path}:{i + 1}: '{key}:' given twice")
        setattr(current, key, value)
        i += 1
    if current is not None:
        raise ListError(f"{path}:{current.line}: entry has no <<< ... >>> text")
    seen = set()
    for mutant in mutants:
        if mutant.id in seen:
            raise ListError(f"{path}:{mutant.line}: id '{mutant.id}' used twice")
        seen.add(mutant.id)
    return mutants


def check_anchor(mutant, tree):
    """Returns None if the mutant applies cleanly to tree, else the reason."""
    path = os.path.join(tree, mutant.file)
    if not os.path.isfile(path):
        return f"no file {mutant.file}"
    with open(path, encoding="utf-8") as handle:
        text = handle.read()
    count = text.count(mutant.original)
    if count == 0:
        return f"original text not found in {mutant.file}"
    if count > 1:
        return f"original text found {count} times in {mutant.file}"
    if mutant.original == mutant.replacement:
        return "replacement equals the original"
    return None


def run(command, cwd, log=None, timeout=None):
    """Runs command; returns (exit code, combined output). A timeout is 124."""
    try:
        done = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, errors="replace", timeout=timeout)
        code, output = done.returncode, done.stdout
    except subprocess.TimeoutExpired as expired:
        code = 124
        output = expired.stdout or ""
        if isinstance(output, bytes):
            output = output.decode(errors="replace")
    if log is not None:
        log.write(output)
    return code, output


def copy_file(source, target):
    """Copies one file unless the target already holds the same bytes, so that
    a reused work folder rebuilds only what changed."""
    if os.path.isfile(target) and not os.path.islink(source) and filecmp.cmp(source, target, shallow=False):
        return
    os.makedirs(os.path.dirname(target), exist_ok=True)
    if os.path.lexists(target):
        os.unlink(target)
    # A fresh modification time, not the source's: a reused build must see
    # the file as newer than what it built from the old one.
    shutil.copy(source, target, follow_symlinks=False)


def copy_tree(destination):
    """Copies the checked-out tree (what git would see, build output excluded)."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=ROOT, stdout=subprocess.PIPE, check=False)
    if listed.returncode == 0:
        for name in sorted(set(filter(None, listed.stdout.decode().split("\0")))):
            source = os.path.join(ROOT, name)
            if not os.path.lexists(source):
                continue  # deleted in the worktree but not yet in the index
            copy_file(source, os.path.join(destination, name))
    else:
        shutil.copytree(ROOT, destination, dirs_exist_ok=True, symlinks=True,
                        ignore=shutil.ignore_patterns("build", ".git"))


def first_failure(output):
    """The first test ctest reports as not passed, with how it ended."""
    for line in output.splitlines():
        match = re.search(r"Test\s+#\d+:\s+(\S+).*?\*\*\*\s*([A-Za-z][A-Za-z :]*?)\s+[\d.]+ sec", line)
        # A test that skips itself (no Wine output to compare with) caught nothing.
        if match and match.group(2).lower() != "skipped":
            return f"{match.group(1)} ({match.group(2).lower()})"
    return ""


def run_stage(ctest, tree, log, timeout):
    """One stage of the suite: (None, notes) if it passed, ("killed", which test) if not.

    A kill must repeat: the tests that failed are run once more, and a failure
    that does not come back (a timing-dependent test on a loaded machine) is
    not counted; the stage then gets one more chance to find a real one.
    """
    flaky = []
    for _ in range(2):
        # The whole run gets a ceiling too, in case a hang escapes the
        # per-test timeout.
        code, output = run(ctest, tree, log, timeout=timeout * 20)
        if code == 0:
            return None, flaky
        failed = first_failure(output) or f"ctest exit {code}"
        code, _ = run(ctest + ["--rerun-failed"], tree, log, timeout=timeout * 20)
        if code != 0:
            return "killed", failed
        flaky.append(failed)
    return None, flaky


def run_suite(stages, tree, log, timeout):
    """Runs the suite against a mutant: ("killed", which test) or ("survived", note).

    The quick tests go first: most mutants fall to one of them, and ctest
    would otherwise start its longest tests (the fault sweep) first and wait
    for them before it stops.
    """
    flaky = []
    for ctest in stages:
        outcome, detail = run_stage(ctest, tree, log, timeout)
        if outcome:
            return outcome, detail
        flaky += detail
    return "survived", ("failures that did not repeat: " + "; ".join(flaky)) if flaky else ""


def main():
    parser = argparse.ArgumentParser(description="Runs the driver's mutants against the test suite.")
    parser.add_argument("list", nargs="?", default=DEFAULT_LIST, help="mutant list")
    parser.add_argument("--only", help="comma-separated ids to run")
    parser.add_argument("--timeout", type=int, default=30, help="seconds per test before it counts as hung")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build and test jobs")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    parser.add_argument("--workdir", help="reuse this folder (made if missing, never deleted) instead "
                        "of a fresh temporary one; only files that changed are copied and rebuilt")
    parser.add_argument("--check", action="store_true", help="only check the list against the tree")
    args = parser.parse_args()

    try:
        mutants = parse_list(args.list)
    except (OSError, ListError) as error:
        print(f"mutate: {error}", file=sys.stderr)
        return 2

    if args.only:
        wanted = [name.strip() for name in args.only.split(",") if name.strip()]
        unknown = [name for name in wanted if name not in {m.id for m in mutants}]
        if unknown:
            print(f"mutate: no mutant named {', '.join(unknown)}", file=sys.stderr)
            return 2
        selected = [m for m in mutants if m.id in wanted]
    else:
        selected = mutants

    # Every anchor is checked against the worktree before anything is built: a
    # list that no longer matches the code must be fixed, not half run.
    faults = [(m, check_anchor(m, ROOT)) for m in selected]
    faults = [(m, reason) for m, reason in faults if reason]
    if faults:
        for mutant, reason in faults:
            print(f"mutate: {mutant.id}: {reason}", file=sys.stderr)
        return 2
    if args.check:
        print(f"mutate: {len(selected)} mutants apply cleanly")
        return 0

    # An interrupted run still puts the mutated file back (the finally below).
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda *_: sys.exit(130))

    started = time.monotonic()
    if args.workdir:
        work = os.path.abspath(args.workdir)
        os.makedirs(work, exist_ok=True)
        args.keep = True
    else:
        work = tempfile.mkdtemp(prefix="velmora-mutate-")
    tree = os.path.join(work, "src")
    log_path = os.path.join(work, "build.log")
    build_dir = os.path.join(tree, "build", "default")
    print(f"mutate: {len(selected)} mutants, working in {work}", flush=True)
    try:
        os.makedirs(tree, exist_ok=True)
        copy_tree(tree)
        with open(log_path, "w", encoding="utf-8") as log:
            configure = ["cmake", "--preset", "default", "-DVELMORA_BUILD_SYS=OFF"]
            # Ninja and lld only make the incremental rebuilds quicker; the
            # preset's compiler, flags and build type are left as they are.
            if shutil.which("ninja"):
                configure += ["-G", "Ninja"]
            if shutil.which("ld.lld"):
                configure += ["-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld"]
            code = 0
            if not os.path.isfile(os.path.join(build_dir, "CMakeCache.txt")):
                code, output = run(configure, tree, log)
            if code != 0:
                print(output, file=sys.stderr)
                print("mutate: configure failed", file=sys.stderr)
                return 2
            # Everything the suite runs: the tests, and the demo and the tool
            # that some tests start.
            build = ["cmake", "--build", build_dir, "-j", str(args.jobs)]
            # The model and the static analysis do not look at a build of the
            # driver's code paths the way tests do, and take most of a run's time.
            # The instruction-count check is left out as well: a mutant that
            # only makes the driver slower has not broken what it does.
            ctest = ["ctest", "--test-dir", build_dir, "-j", str(args.jobs), "--timeout", str(args.timeout),
                     "--stop-on-failure", "--output-on-failure"]
            stages = [ctest + ["-LE", "model|static|perf|sweep"], ctest + ["-L", "sweep"]]

            code, output = run(build, tree, log)
            if code != 0:
                print(output[-4000:], file=sys.stderr)
                print("mutate: the unchanged tree does not build", file=sys.stderr)
                return 2
            built = time.monotonic()
            print(f"mutate: built in {built - started:.0f}s", flush=True)
            for stage in stages:
                code, output = run(stage, tree, log)
                if code != 0:
                    code, output = run(stage + ["--rerun-failed"], tree, log)
                if code != 0:
                    break
            if code != 0:
                print(output[-4000:], file=sys.stderr)
                print("mutate: the unchanged tree fails its own suite; nothing to measure", file=sys.stderr)
                return 2
            print(f"mutate: unchanged suite passes in {time.monotonic() - built:.0f}s", flush=True)

            # Grouped by file, so that putting one file back and changing the
            # next costs one recompilation per file, not two per mutant.
            order = {}
            for mutant in selected:
                order.setdefault(mutant.file, len(order))
            runnable = sorted((m for m in selected if not m.equivalent), key=lambda m: order[m.file])
            for mutant in selected:
                if mutant.equivalent:
                    mutant.outcome = "equivalent"
                    mutant.detail = mutant.equivalent
            width = max(len(m.id) for m in selected)

            for index, mutant in enumerate(runnable, 1):
                path = os.path.join(tree, mutant.file)
                with open(path, encoding="utf-8") as handle:
                    pristine = handle.read()
                begun = time.monotonic()
                try:
                    with open(path, "w", encoding="utf-8") as handle:
                        handle.write(pristine.replace(mutant.original, mutant.replacement, 1))
                    log.write(f"\n===== {mutant.id}\n")
                    code, output = run(build, tree, log)
                    if code != 0:
                        mutant.outcome = "does-not-compile"
                        errors = [l for l in output.splitlines() if "error:" in l]
                        mutant.detail = errors[0].strip() if errors else "build failed"
                    else:
                        # The whole run gets a ceiling too, in case a hang
                        # escapes the per-test timeout.
                        mutant.outcome, mutant.detail = run_suite(stages, tree, log, args.timeout)
                finally:
                    with open(path, "w", encoding="utf-8") as handle:
                        handle.write(pristine)
                mutant.seconds = time.monotonic() - begun
                print(f"[{index:3}/{len(runnable)}] {mutant.id:<{width}}  {mutant.outcome.upper():<16} "
                      f"{mutant.seconds:5.0f}s  {mutant.detail}", flush=True)
    finally:
        if args.keep:
            print(f"mutate: kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)

    total = len(selected)
    counts = {name: sum(1 for m in selected if m.outcome == name)
              for name in ("killed", "survived", "does-not-compile", "equivalent")}
    scored = total - counts["equivalent"]
    print()
    for name, title in (("survived", "Survivors"), ("does-not-compile", "Not compiling (fix the list)"),
                        ("equivalent", "Equivalent")):
        group = [m for m in selected if m.outcome == name]
        if group:
            print(f"{title}:")
            for mutant in group:
                reason = f": {mutant.detail}" if name != "survived" else ""
                print(f"  {mutant.id} ({mutant.file}, {mutant.kind}){reason}")
    minutes, seconds = divmod(int(time.monotonic() - started), 60)
    score = f"{counts['killed']}/{scored} = {100.0 * counts['killed'] / scored:.1f}%" if scored else "n/a"
    print(f"\nmutants: {total}, killed {counts['killed']}, survived {counts['survived']}, "
          f"does not compile {counts['does-not-compile']}, equivalent {counts['equivalent']}")
    print(f"score: {score}; time {minutes}m{seconds:02d}s")
    return 0 if counts["killed"] == scored else 1


if __name__ == "__main__":
    sys.exit(main())
