"""Benchmark harness: kelvarn side by side with what a user would otherwise pick.

Every ``bench/bench_<topic>.py`` defines ``TITLE`` and ``cases()``, which
returns a list of ``(operation_label, {implementation: zero_argument_callable})``
with kelvarn first in each dict. Adding a topic is adding such a file.

Method: pyperf times every callable. Each topic is one pyperf run
(``run.py --topic NAME``, a ``pyperf.Runner``) in which every callable is a
benchmark of its own: pyperf calibrates the loop count, warms up, and takes
its values in fresh worker processes started one after the other (never in
parallel, so they do not compete for the cores). An empty call is measured
the same way; it is included in every cell.

The table shows, per operation and implementation, the median time per call
over all values, its spread (median absolute deviation, as a percentage of
the median) and the ratio to kelvarn's median: ``2.4×`` means 2.4 times
kelvarn's time, so higher is better for kelvarn. With every topic (or with
``--chart FILE``) the run also draws these ratios as an SVG bar chart,
``bench/results/bench.svg`` by default, so a run leaves the tracked files
alone; ``make chart`` (``--chart docs/bench.svg``) refreshes the chart of the
README on purpose. Each topic prints one line as it starts, with its number
of rows. Wall-clock times on a shared machine swing by
tens of percent; ``bench/instructions.py`` counts instructions instead.

Usage: ``python bench/run.py [topic ...] [--fast] [--chart FILE | --no-chart]
[--json FILE] [pyperf options: --rigorous, -p PROCESSES, -n VALUES,
--min-time SECONDS ...]``; ``python bench/run.py header`` runs only
``bench_header.py``.
"""

from __future__ import annotations

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PREFIX = "bench_"
CHART = os.path.join(HERE, "results", "bench.svg")
EMPTY = "(empty call)"


def bench_name(topic, label, impl=None):
    """The pyperf benchmark name: unique over every topic."""
    return f"{topic}: {label}" + (f" | {impl}" if impl else "")

# pyperf settings of `make bench`; --fast halves the processes (at least 3)
# and takes 2 values per process.
PROCESSES, VALUES, MIN_TIME = 4, 3, 0.02


def available_topics():
    return sorted(f[len(PREFIX):-3] for f in os.listdir(HERE) if f.startswith(PREFIX) and f.endswith(".py"))


# ---------------------------------------------------------------------------
# One topic: a pyperf Runner (its own master and worker processes)


def topic_layout(topic):
    """The topic's title and rows, with the callables that run (a failing one is reported, not timed)."""
    import importlib

    sys.path.insert(0, HERE)
    module = importlib.import_module(PREFIX + topic)
    rows, callables = [], []
    for label, impls in module.cases():
        row = {"label": label, "impls": list(impls), "errors": {}}
        rows.append(row)
        for name, fn in impls.items():
            try:
                fn()
            except Exception as exc:  # noqa: BLE001 - reported in the table
                row["errors"][name] = f"{type(exc).__name__}: {exc}"
                continue
            callables.append((bench_name(topic, label, name), fn))
    return {"topic": topic, "title": module.TITLE, "rows": rows,
            "chart": getattr(module, "IN_CHART", True)}, callables


def topic_rows(topic):
    import importlib

    sys.path.insert(0, HERE)
    return len(importlib.import_module(PREFIX + topic).cases())


def run_topic():
    import json

    import pyperf

    def add_cmdline_args(cmd, args):
        cmd.extend(["--topic", args.topic])

    runner = pyperf.Runner(processes=PROCESSES, values=VALUES, min_time=MIN_TIME, add_cmdline_args=add_cmdline_args)
    runner.argparser.add_argument("--topic", required=True)
    runner.argparser.add_argument("--layout", help="write the topic's rows and errors to this JSON file")
    args = runner.parse_args()
    layout, callables = topic_layout(args.topic)
    if args.layout and not args.worker:
        with open(args.layout, "w") as f:
            json.dump(layout, f)

    def empty():
        pass

    for name, fn in [(bench_name(args.topic, EMPTY), empty), *callables]:
        runner.bench_func(name, fn)


# ---------------------------------------------------------------------------
# Driver: one pyperf run per topic, then the tables and the chart


def measure(topic, pyperf_args):
    """The topic's layout and {benchmark name: pyperf.Benchmark}."""
    import json
    import subprocess
    import tempfile

    import pyperf

    with tempfile.TemporaryDirectory(prefix="kelvarn-bench-") as tmp:
        out, layout_file = os.path.join(tmp, "out.json"), os.path.join(tmp, "layout.json")
        cmd = [sys.executable, os.path.abspath(__file__), "--topic", topic, "--layout", layout_file, "-o", out,
               "--quiet", *pyperf_args]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0 or not os.path.exists(out):
            lines = (proc.stderr or proc.stdout).strip().splitlines()
            raise RuntimeError(lines[-1] if lines else "pyperf run failed")
        with open(layout_file) as f:
            layout = json.load(f)
        suite = pyperf.BenchmarkSuite.load(out)
    return layout, {b.get_name(): b for b in suite.get_benchmarks()}


def format_time(seconds):
    for unit, scale in (("ns", 1e-9), ("µs", 1e-6), ("ms", 1e-3)):
        if seconds < scale * 999.5:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds:.3g} s"


def ratios(layout, benches):
    """Per row, {implementation: its median / kelvarn's median} for the timed peers."""
    out = []
    for row in layout["rows"]:
        first = benches.get(bench_name(layout["topic"], row["label"], row["impls"][0]))
        peers = {}
        for name in row["impls"][1:]:
            b = benches.get(bench_name(layout["topic"], row["label"], name))
            if first and b:
                peers[name] = b.median() / first.median()
        out.append((row["label"], peers))
    return out


def table(layout, benches):
    columns = []
    for row in layout["rows"]:
        columns += [n for n in row["impls"] if n not in columns]
    header = ["operation", *columns]
    lines = []
    for row in layout["rows"]:
        first = benches.get(bench_name(layout["topic"], row["label"], row["impls"][0]))
        cells = [row["label"]]
        for name in columns:
            b = benches.get(bench_name(layout["topic"], row["label"], name))
            if name in row["errors"]:
                cells.append("error: " + row["errors"][name].split(":")[0])
            elif b is None:
                cells.append("—")
            else:
                median = b.median()
                text = f"{format_time(median)} ±{b.median_abs_dev() / median * 100:.0f}%"
                if first:
                    text += f" ({median / first.median():.1f}×)"
                cells.append(text)
        lines.append(cells)
    widths = [max(len(str(c)) for c in col) for col in zip(header, *lines)]

    def fmt(cells):
        return "| " + " | ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                                 for i, (c, w) in enumerate(zip(cells, widths))) + " |"

    out = [fmt(header), "|" + "|".join("-" * (w + 2) if i == 0 else "-" * (w + 1) + ":"
                                       for i, w in enumerate(widths)) + "|"]
    out.extend(fmt(cells) for cells in lines)
    return "\n".join(out)


def chart(results, path):
    """Horizontal bars of every peer's time over kelvarn's, one panel per topic, on a log scale."""
    import math

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, NullLocator

    plt.rcParams.update({"svg.hashsalt": "kelvarn", "svg.fonttype": "none", "font.size": 9})
    panels = [(title, [(label, peers) for label, peers in rows if peers]) for title, rows in results]
    panels = [(title, rows) for title, rows in panels if rows]
    heights = [sum(len(peers) for _, peers in rows) + len(rows) for _, rows in panels]
    values = [r for _, rows in panels for _, peers in rows for r in peers.values()]
    low = 10 ** math.floor(math.log10(min(min(values), 0.5)))
    high = 10 ** math.ceil(math.log10(max(max(values), 2) * 1.5))
    height = 0.12 * sum(heights) + 0.6 * len(panels) + 1.2  # inches
    fig, axes = plt.subplots(len(panels), 1, sharex=True, squeeze=False, figsize=(9, height),
                             gridspec_kw={"height_ratios": heights})
    names = list(dict.fromkeys(name for _, rows in panels for _, peers in rows for name in peers))
    colours = dict(zip(names, plt.get_cmap("tab10").colors * 3))
    for ax, (title, rows) in zip(axes[:, 0], panels):
        y, ticks, labels = 0.0, [], []
        for label, peers in rows:
            start = y
            for name, r in peers.items():
                ax.barh(y, r, height=0.8, color=colours[name], label=name)
                ax.text(r * 1.05, y, f"{r:.2g}×", va="center", fontsize=7)
                y += 1
            ticks.append((start + y - 1) / 2)
            labels.append(label)
            y += 1
        ax.axvline(1, color="black", linewidth=0.8)
        ax.set_yticks(ticks, labels)
        ax.set_ylim(y - 1, -1)
        ax.set_title(title, loc="left", fontsize=10)
        ax.grid(axis="x", color="0.9")
        ax.set_axisbelow(True)
    ax = axes[-1, 0]
    ax.set_xscale("log")
    ax.set_xlim(low, high)
    decades = [10.0 ** e for e in range(round(math.log10(low)), round(math.log10(high)) + 1)]
    ax.xaxis.set_major_locator(FixedLocator(decades))
    ax.xaxis.set_minor_locator(NullLocator())
    ax.set_xticklabels([f"{d:g}×" for d in decades])
    handles = {}
    for a in axes[:, 0]:
        for h, n in zip(*a.get_legend_handles_labels()):
            handles.setdefault(n, h)
    fig.legend(handles.values(), handles.keys(), loc="lower center", fontsize=8, frameon=False,
               ncols=min(len(handles), 5))
    fig.suptitle("Time of each alternative ÷ kelvarn's time (log scale; right of 1×: kelvarn is faster)",
                 x=0.01, ha="left", fontsize=10)
    fig.tight_layout(rect=(0, (0.2 + 0.2 * math.ceil(len(handles) / 5)) / height, 1, 1 - 0.3 / height))
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, format="svg", metadata={"Date": None})
    plt.close(fig)


def main(argv=None):
    import argparse
    import platform
    import time

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog="Other options go to pyperf (see python -m pyperf --help).")
    parser.add_argument("topics", nargs="*", help=f"topics to run (default: all of {', '.join(available_topics())})")
    parser.add_argument("--fast", action="store_true", help="quick, rougher run (pyperf --fast)")
    parser.add_argument("--chart", metavar="FILE",
                        help=f"write the SVG chart here (default with every topic: {os.path.relpath(CHART)})")
    parser.add_argument("--no-chart", action="store_true", help="write no chart")
    parser.add_argument("--json", metavar="FILE", help="also write every pyperf benchmark to this JSON file")
    args, pyperf_args = parser.parse_known_args(argv)
    if args.fast:
        pyperf_args.append("--fast")

    known = available_topics()
    topics = args.topics or known
    unknown = [t for t in topics if t not in known]
    if unknown:
        parser.error(f"unknown topic(s) {', '.join(unknown)}; available: {', '.join(known)}")
    chart_path = None if args.no_chart else args.chart or (CHART if not args.topics else None)

    print(f"Python {platform.python_version()} ({platform.python_implementation()}), {platform.machine()}; "
          f"pyperf, {'--fast' if args.fast else f'{PROCESSES} processes x {VALUES} values of >= {MIN_TIME * 1000:g} ms'}"
          f"{' ' + ' '.join(pyperf_args) if pyperf_args and not args.fast else ''} per callable")
    print("Cells: median time per call ± median absolute deviation, (ratio to kelvarn's median).")
    status, results, everything = 0, [], []
    begun = time.monotonic()
    for number, topic in enumerate(topics, 1):
        started = time.monotonic()
        rows = topic_rows(topic)
        print(f"\n[{number}/{len(topics)}] {topic}: {rows} row{'s' if rows != 1 else ''}, started at "
              f"{time.strftime('%H:%M:%S')} ({started - begun:.0f} s into the run)")
        sys.stdout.flush()
        try:
            layout, benches = measure(topic, pyperf_args)
        except Exception as exc:  # noqa: BLE001 - one broken topic does not stop the others
            print(f"\n## {topic}: not measured ({exc})")
            status = 1
            continue
        everything += benches.values()
        if layout["chart"]:
            results.append((layout["title"], ratios(layout, benches)))
        print(f"\n## {layout['title']}\n")
        print(table(layout, benches))
        empty = benches.get(bench_name(topic, EMPTY))
        print(f"\n({time.monotonic() - started:.0f} s"
              + (f"; an empty call costs {format_time(empty.median())} and is included in every cell)" if empty else ")"))
        sys.stdout.flush()
    print(f"\nTotal: {time.monotonic() - begun:.0f} s")
    if args.json and everything:
        import pyperf

        suite = pyperf.BenchmarkSuite(everything)
        suite.dump(args.json, replace=True)
    if chart_path and results:
        chart(results, chart_path)
        print(f"Chart: {os.path.relpath(chart_path)}")
    return status


if __name__ == "__main__":
    if "--topic" in sys.argv[1:]:
        run_topic()
    else:
        sys.exit(main())
