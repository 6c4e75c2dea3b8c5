"""Cookie headers: how parse_cookie_header grows with the length of the header.

Columns are header lengths, 10 KB, 100 KB and 1 MB, not implementations; the
ratio after each cell is its time over the 10 KB cell, so linear growth reads
about 10× and 100×. Each row is one shape of header scaled to those lengths:
10^5 pairs of 10 bytes make the 1 MB header of the first rows.

The cyclic garbage collector is off in the measuring process, as ``timeit``
does. At 1 MB the header and what is built from it no longer fit a core's
cache, so the times of the last column grow faster than the work; the
instruction counts do not: ``python bench/bench_cookie_scaling.py`` counts
them under callgrind (one call in a process of its own per shape and length,
net of a statement that only reads the header) and prints their ratios, 10×
and 100× for linear cost.

Usage: ``python bench/run.py cookie_scaling`` (add ``--fast`` for a rough run).
"""

import gc
import os
import subprocess
import sys

from kelvarn.cookie_header import parse_cookie_header

TITLE = "Cookie header scaling (header length; ratio to 10 KB)"
# Its ratios compare lengths, not kelvarn with another library: not in the chart.
IN_CHART = False

SIZES = (10_000, 100_000, 1_000_000)


def shapes(size):
    """(label, header of about `size` bytes)."""
    pairs = size // 10
    return [
        ("10^5 pairs at 1 MB, distinct names", b"; ".join(b"c%06d=v" % i for i in range(pairs))[:size]),
        ("the same name again and again", b"; ".join([b"sid=abcde"] * pairs)),
        ("nameless pairs", b"; ".join([b"abcdefgh"] * pairs)),
        ("one value", b"big=" + b"x" * size),
        ("one value of percent escapes", b"big=" + b"%C3%A9" * (size // 6)),
        ("one value of invalid UTF-8", b"big=" + b"\xff\xc3" * (size // 2)),
        ("only separators", b";" * size),
        ("only spaces and tabs", b" \t" * (size // 2)),
    ]


def cases():
    gc.disable()
    per_size = {n: shapes(n) for n in SIZES}
    rows = []
    for i, (label, _) in enumerate(per_size[SIZES[0]]):
        rows.append((label, {f"{n // 1000:,} KB": (lambda h=per_size[n][i][1]: parse_cookie_header(h))
                             for n in SIZES}))
    return rows


def _child(size, row, parse):
    import ctypes

    header = shapes(size)[row][1]
    run = ctypes.pythonapi.PyRun_SimpleString
    run.argtypes = [ctypes.c_char_p]
    # The counting window: this one call (a statement that only reads the header for the baseline).
    vars(sys.modules["__main__"]).update(h=header, parse_cookie_header=parse_cookie_header)
    run(b"parse_cookie_header(h)" if parse else b"len(h)")


def _instructions(size, row, parse):
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", "--collect-atstart=no",
           "--toggle-collect=PyRun_SimpleStringFlags", sys.executable, __file__, "--child", str(size), str(row),
           str(int(parse))]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    return int(next(line for line in out.stderr.splitlines() if "Collected" in line).split()[-1])


def main():
    print("| shape | " + " | ".join(f"{n // 1000:,} KB" for n in SIZES) + " |\n|---|" + "--:|" * len(SIZES))
    base = [_instructions(n, 0, False) for n in SIZES]
    for row, (label, _) in enumerate(shapes(SIZES[0])):
        counts = [_instructions(n, row, True) - b for n, b in zip(SIZES, base)]
        print(f"| {label} | " + " | ".join(f"{c:,} ({c / counts[0]:.1f}×)" for c in counts) + " |", flush=True)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        _child(*map(int, sys.argv[2:5]))
    else:
        main()
