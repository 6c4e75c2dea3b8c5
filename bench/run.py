"""Benchmark harness: kelvarn side by side with what a user would otherwise pick.

Every ``bench/bench_<topic>.py`` defines ``TITLE`` and ``cases()``, which
returns a list of ``(operation_label, {implementation: zero_argument_callable})``
with kelvarn first in each dict.

Method (per topic):

* Several fresh worker processes run one after the other (never in parallel,
  so they do not compete for the cores). Each imports the topic, builds its
  cases, warms every callable up and calibrates a loop count so that one
  sample lasts at least ``--min-time`` seconds.
* Each worker then takes ``--values`` samples of every callable, interleaving
  the callables sample by sample so that slow drifts of the machine hit all
  implementations alike.
* The table shows, per operation and implementation, the median time per call
  over all samples of all workers, its spread (median absolute deviation, as a
  percentage of the median) and the ratio to kelvarn's median: ``2.4×`` means
  2.4 times kelvarn's time, so higher is better for kelvarn.

Usage: ``python bench/run.py [topic ...] [--fast] [--processes N] [--values N]
[--min-time S] [--json FILE]``; ``python bench/run.py header`` runs only
``bench_header.py``.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PREFIX = "bench_"


def available_topics():
    return sorted(f[len(PREFIX):-3] for f in os.listdir(HERE) if f.startswith(PREFIX) and f.endswith(".py"))


# ---------------------------------------------------------------------------
# Worker: measure one topic, print the samples as JSON


def _time(fn, loops):
    """Seconds per call over one sample of ``loops`` calls."""
    it = range(loops)
    start = time.perf_counter()
    for _ in it:
        fn()
    return (time.perf_counter() - start) / loops


def _calibrate(fn, min_time):
    loops = 1
    while True:
        elapsed = _time(fn, loops) * loops
        if elapsed >= min_time or loops >= 1 << 30:
            return loops
        # Aim a little above the target, at most 10x per step.
        loops = max(loops * 2, min(loops * 10, int(loops * min_time * 1.2 / max(elapsed, 1e-9))))


def worker(topic, values, min_time):
    sys.path.insert(0, HERE)
    module = importlib.import_module(PREFIX + topic)
    cases = module.cases()
    result = {"title": module.TITLE, "rows": [], "overhead": None}
    jobs = []  # (row index, implementation, callable, loops)
    for label, impls in cases:
        row = {"label": label, "impls": list(impls), "samples": {}, "errors": {}}
        result["rows"].append(row)
        for name, fn in impls.items():
            try:
                for _ in range(3):  # warm-up, also checks that it runs
                    fn()
                loops = _calibrate(fn, min_time)
            except Exception as exc:  # noqa: BLE001 - reported in the table
                row["errors"][name] = f"{type(exc).__name__}: {exc}"
                continue
            row["samples"][name] = []
            jobs.append((row, name, fn, loops))

    def empty():
        pass

    empty_loops = _calibrate(empty, min_time)
    overhead = []
    for _ in range(values):
        for row, name, fn, loops in jobs:
            row["samples"][name].append(_time(fn, loops))
        overhead.append(_time(empty, empty_loops))
    result["overhead"] = overhead
    json.dump(result, sys.stdout)


# ---------------------------------------------------------------------------
# Driver: run workers, merge, print tables


def _run_worker(topic, args):
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", topic, "--values", str(args.values),
           "--min-time", str(args.min_time)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else "worker failed")
    return json.loads(proc.stdout)


def merge(runs):
    merged = runs[0]
    for other in runs[1:]:
        for row, orow in zip(merged["rows"], other["rows"]):
            for name, samples in orow["samples"].items():
                row["samples"].setdefault(name, []).extend(samples)
            row["errors"].update(orow["errors"])
        merged["overhead"].extend(other["overhead"])
    return merged


def format_time(seconds):
    for unit, scale in (("ns", 1e-9), ("µs", 1e-6), ("ms", 1e-3)):
        if seconds < scale * 999.5:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds:.3g} s"


def summarize(samples):
    median = statistics.median(samples)
    mad = statistics.median(abs(s - median) for s in samples)
    return median, (mad / median * 100 if median else 0.0)


def table(result, show_spread=True):
    rows = result["rows"]
    columns = []
    for row in rows:
        for name in row["impls"]:
            if name not in columns:
                columns.append(name)
    header = ["operation", *columns]
    lines = []
    for row in rows:
        base = None
        cells = [row["label"]]
        if row["impls"] and row["impls"][0] in row["samples"]:
            base = summarize(row["samples"][row["impls"][0]])[0]
        for name in columns:
            if name in row["errors"]:
                cells.append("error: " + row["errors"][name].split(":")[0])
            elif name in row["samples"] and row["samples"][name]:
                median, spread = summarize(row["samples"][name])
                text = format_time(median)
                if show_spread:
                    text += f" ±{spread:.0f}%"
                if base:
                    text += f" ({median / base:.1f}×)"
                cells.append(text)
            else:
                cells.append("—")
        lines.append(cells)
    widths = [max(len(str(c)) for c in col) for col in zip(header, *lines)]

    def fmt(cells):
        return "| " + " | ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                                 for i, (c, w) in enumerate(zip(cells, widths))) + " |"

    out = [fmt(header), "|" + "|".join("-" * (w + 2) if i == 0 else "-" * (w + 1) + ":"
                                       for i, w in enumerate(widths)) + "|"]
    out.extend(fmt(cells) for cells in lines)
    return "\n".join(out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("topics", nargs="*", help=f"topics to run (default: all of {', '.join(available_topics())})")
    parser.add_argument("--processes", type=int, default=4, help="worker processes per topic (default 4)")
    parser.add_argument("--values", type=int, default=6, help="samples per callable per process (default 6)")
    parser.add_argument("--min-time", type=float, default=0.02, help="seconds per sample (default 0.02)")
    parser.add_argument("--fast", action="store_true", help="quick, rougher run: 2 processes x 3 samples of 10 ms")
    parser.add_argument("--json", help="also write the raw samples to this file")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.worker:
        worker(args.worker, args.values, args.min_time)
        return 0
    if args.fast:
        args.processes, args.values, args.min_time = 2, 3, 0.01

    known = available_topics()
    topics = args.topics or known
    unknown = [t for t in topics if t not in known]
    if unknown:
        parser.error(f"unknown topic(s) {', '.join(unknown)}; available: {', '.join(known)}")

    print(f"Python {platform.python_version()} ({platform.python_implementation()}), {platform.machine()}; "
          f"{args.processes} processes x {args.values} samples x >= {args.min_time * 1000:g} ms per callable")
    print("Cells: median time per call ± median absolute deviation, (ratio to kelvarn's median).")
    raw = {}
    status = 0
    begun = time.monotonic()
    for topic in topics:
        started = time.monotonic()
        runs = []
        try:
            for _ in range(args.processes):
                runs.append(_run_worker(topic, args))
        except Exception as exc:  # noqa: BLE001 - one broken topic does not stop the others
            print(f"\n## {topic}: not measured ({exc})")
            status = 1
            continue
        result = merge(runs)
        raw[topic] = result
        overhead = statistics.median(result["overhead"])
        print(f"\n## {result['title']}\n")
        print(table(result))
        print(f"\n({time.monotonic() - started:.0f} s; an empty call costs {format_time(overhead)} "
              f"and is included in every cell)")
        sys.stdout.flush()
    print(f"\nTotal: {time.monotonic() - begun:.0f} s")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(raw, f, indent=1)
    return status


if __name__ == "__main__":
    sys.exit(main())
