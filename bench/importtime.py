"""Start-up cost: what importing kelvarn adds on top of its dependencies.

Each run is a fresh interpreter under ``-X importtime`` that first imports the
dependencies (datetime, email.utils, urllib.parse, httptools), then the four
kelvarn modules. The cumulative times of the top-level entries split the cost
cleanly: the dependencies' share, then kelvarn's own (its package, its four
extension modules and anything they import that the dependencies did not).
Runs alternate with runs that import kelvarn first, whose total is what a
program that imports only kelvarn pays. Medians over all runs are printed, in
milliseconds (with the minimum, steadier on a busy machine), and the modules
kelvarn pulls in beyond its dependencies.

Usage: ``python bench/importtime.py [--runs N] [--json FILE]``
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys

DEPENDENCIES = ("datetime", "email.utils", "urllib.parse", "httptools")
KELVARN = ("kelvarn.headers", "kelvarn.cookies", "kelvarn.url", "kelvarn.cookie_header")


def _entries(stderr):
    """(depth, name, self_us, cumulative_us) for every line of -X importtime."""
    out = []
    for line in stderr.splitlines():
        if not line.startswith("import time:") or "[us]" in line:
            continue
        self_us, cumulative, name = line[len("import time:"):].split("|")
        depth = (len(name) - len(name.lstrip())) // 2
        out.append((depth, name.strip(), int(self_us), int(cumulative)))
    return out


def _run(code):
    proc = subprocess.run([sys.executable, "-X", "importtime", "-c", code],
                          capture_output=True, text=True, check=True)
    return _entries(proc.stderr)


def _split(entries, startup):
    """Cumulative µs of the top-level dependency and kelvarn entries, and the
    modules imported under kelvarn's entries (nested entries come before
    the entry that imported them)."""
    deps = own = 0
    extra = set()
    start = 0
    for i, (depth, name, _, cumulative) in enumerate(entries):
        if depth:
            continue
        if name.split(".")[0] == "kelvarn":
            own += cumulative
            extra.update(e[1] for e in entries[start:i] if e[1].split(".")[0] != "kelvarn")
        elif name not in startup:
            deps += cumulative
        start = i + 1
    return deps, own, extra


def measure(runs):
    deps_then_kv = f"import {', '.join(DEPENDENCIES)}; import {', '.join(KELVARN)}"
    kv_only = f"import {', '.join(KELVARN)}"
    # Modules the interpreter loads before any user code runs.
    startup = {e[1] for e in _run("pass")}
    deps_ms, own_ms, alone_ms = [], [], []
    extra = set()
    for _ in range(runs):
        deps, own, more = _split(_run(deps_then_kv), startup)
        deps_ms.append(deps / 1000)
        own_ms.append(own / 1000)
        extra |= more
        alone = _run(kv_only)
        alone_ms.append(sum(e[3] for e in alone if e[0] == 0 and e[1].split(".")[0] == "kelvarn") / 1000)
    return {
        "runs": runs,
        "dependencies_ms": [statistics.median(deps_ms), min(deps_ms)],
        "kelvarn_own_ms": [statistics.median(own_ms), min(own_ms)],
        "kelvarn_alone_ms": [statistics.median(alone_ms), min(alone_ms)],
        "modules_beyond_dependencies": sorted(extra),
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--json", help="also write the result to this file")
    args = parser.parse_args(argv)
    r = measure(args.runs)
    print(f"## Import time (median of {r['runs']} fresh interpreters, -X importtime)\n")
    print("| what | median ms | min ms |")
    print("| --- | ---: | ---: |")
    rows = [(f"dependencies ({', '.join(DEPENDENCIES)})", "dependencies_ms"),
            ("kelvarn on top of them", "kelvarn_own_ms"),
            ("kelvarn imported alone (dependencies included)", "kelvarn_alone_ms")]
    for label, key in rows:
        print(f"| {label} | {r[key][0]:.2f} | {r[key][1]:.2f} |")
    extra = ", ".join(r["modules_beyond_dependencies"]) or "none"
    print(f"\nModules kelvarn imports beyond its dependencies: {extra}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(r, f, indent=2)


if __name__ == "__main__":
    main()
