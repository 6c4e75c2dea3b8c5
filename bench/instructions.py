"""Instructions per call: kelvarn beside its peer and its floor, counted by callgrind.

Wall-clock times on a shared machine swing by tens of percent from one run to
the next; instruction counts repeat to a few instructions. Every measured
statement runs in its own process under ``valgrind --tool=callgrind`` with
``PYTHONHASHSEED=0`` (string hashes decide how hash tables probe, so a fixed
seed makes the counts of the peers repeat too). The process builds its inputs,
warms the statement up, then runs two loops of N iterations each inside a
counting window: an empty loop and a loop over the statement. The count per
call is the difference divided by N, so it includes what Python code pays to
reach the operation (loading the method, the call) and nothing of the loop.

Each row shows kelvarn, its peer (the library a framework would otherwise
use: multidict, yarl, the standard library's cookies) and its floor (the bare
``httptools.parse_url`` that URL() calls, or ``dict.get``, a built-in
one-argument method call), with kelvarn's ratio to each and the target where
one is set. The garbage collector is off while counting, as in ``timeit``.

Usage::

    python bench/instructions.py                  # every row, as a markdown table
    python bench/instructions.py url              # one topic: headers, header, url, cookies, cookie_header
    python bench/instructions.py get_first clone  # rows whose key contains a word
    python bench/instructions.py url --kelvarn-only
    python bench/instructions.py --list           # the row keys
    python bench/instructions.py url.absolute --profile /tmp/prof
        # keeps the callgrind profile of each kelvarn statement's window
        # (read it with callgrind_annotate --inclusive=yes FILE; install
        # with pip's -C install.strip=false to keep kelvarn's symbols)

The README's table is refreshed from a full run of both benchmarks:

    python bench/run.py --json /tmp/wall.json
    python bench/instructions.py --wall /tmp/wall.json --readme
"""

from __future__ import annotations

import os
import sys
import textwrap

# (The driver's own modules are imported where they are used, so that the
# child, which runs under valgrind, starts with as little as possible.)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The counting window: callgrind counts while PyRun_SimpleStringFlags runs and
# writes one profile each time it returns. The child starts both loops through
# that function (via ctypes), so the first profile is the empty loop and the
# second the statement loop.
WINDOW = "PyRun_SimpleStringFlags"

# ---------------------------------------------------------------------------
# What is measured: statements with their set-up, by key.

HEADERS = "from bench_headers import RAW, TEXT\n"
K_HEADERS = HEADERS + "from kelvarn.headers import Header, Headers\nh = Headers(list(RAW))\n"
M_HEADERS = HEADERS + "import multidict\nm = multidict.CIMultiDict(TEXT)\n"
HIT, MISS = "content-type", "x-missing"
# A request target, path with query and fragment, and an absolute URL (the
# inputs of bench_url.py, which imports yarl: the kelvarn children do not).
RELATIVE = b"/api/v1/items?page=2&sort=desc#results"
ABSOLUTE = b"https://example.com:8443/api/v1/items?page=2&sort=desc#results"
URLS = f"RELATIVE, ABSOLUTE = {RELATIVE!r}, {ABSOLUTE!r}\n"
# yarl keeps caches keyed by the input text; bench_url puts the uncached
# functions in their place, so yarl parses on every call as kelvarn does.
YARL = URLS + "import bench_url\nbench_url._uncache()\nimport yarl\n"
# The cookies of bench_cookies.py, as bytes for kelvarn and as text for SimpleCookie.
COOKIES = "from bench_cookies import FULL, SESSION\n"
# Cookie request headers (bench_cookies.py): bytes for kelvarn, text for the others.
CH = "from bench_cookies import BROWSER, MANY\n"
CH_PARSERS = {
    "k": "from kelvarn.cookie_header import parse_cookie_header as parse\n",
    "s": "from http.cookies import SimpleCookie\ndef parse(text):\n    SimpleCookie().load(text)\n",
    "w": "from werkzeug.http import parse_cookie as parse\n",
    "t": "from starlette.requests import cookie_parser as parse\n",
}

# A request handler's use of the headers: wrap (or build) the 15 parsed
# headers, four single lookups, two membership tests, one set, one add. Both
# sides start from a fresh copy of the parser's list, since set and add change
# the list kelvarn wraps.
K_WORKLOAD = f"""\
h = Headers(list(RAW))
h.get_first(b"host")
h.get_first(b"{HIT}")
h.get_first(b"accept-encoding")
h.get_first(b"{MISS}")
b"cookie" in h
b"authorization" in h
h.set(b"content-type", b"application/json")
h.add(b"x-request-id", b"42")
"""
M_WORKLOAD = f"""\
m = multidict.CIMultiDict(list(TEXT))
m.get("host")
m.get("{HIT}")
m.get("accept-encoding")
m.get("{MISS}")
"cookie" in m
"authorization" in m
m["content-type"] = "application/json"
m.add("x-request-id", "42")
"""

MEASURES = {
    # floors
    "floor.dict_get": ("d = {'content-type': 1}\nk = 'content-type'\n", "d.get(k)"),
    "floor.parse_url_relative": (URLS + "from httptools import parse_url\nraw = RELATIVE\n", "parse_url(raw)"),
    "floor.parse_url_absolute": (URLS + "from httptools import parse_url\nraw = ABSOLUTE\n", "parse_url(raw)"),
    # headers
    "k.get_first_hit": (K_HEADERS + f"k = b'{HIT}'\n", "h.get_first(k)"),
    "m.get_hit": (M_HEADERS + f"k = '{HIT}'\n", "m.get(k)"),
    "k.get_first_miss": (K_HEADERS + f"k = b'{MISS}'\n", "h.get_first(k)"),
    "m.get_miss": (M_HEADERS + f"k = '{MISS}'\n", "m.get(k)"),
    "k.in_hit": (K_HEADERS + f"k = b'{HIT}'\n", "k in h"),
    "m.in_hit": (M_HEADERS + f"k = '{HIT}'\n", "k in m"),
    "k.in_miss": (K_HEADERS + f"k = b'{MISS}'\n", "k in h"),
    "m.in_miss": (M_HEADERS + f"k = '{MISS}'\n", "k in m"),
    "k.get_hit": (K_HEADERS + f"k = b'{HIT}'\n", "h.get(k)"),
    "m.getall_hit": (M_HEADERS + f"k = '{HIT}'\n", "m.getall(k)"),
    "k.wrap": (K_HEADERS + "raw = list(RAW)\n", "Headers(raw)"),
    "m.build": (M_HEADERS + "CIMultiDict = multidict.CIMultiDict\n", "CIMultiDict(TEXT)"),
    "k.clone": (K_HEADERS, "h.clone()"),
    "m.copy": (M_HEADERS, "m.copy()"),
    "k.plus": (K_HEADERS + "o = Headers([(b'X-Extra', b'1'), (b'X-Other', b'2')])\n", "h + o"),
    "m.copy_extend": (M_HEADERS + "o = multidict.CIMultiDict([('X-Extra', '1'), ('X-Other', '2')])\n",
                      "c = m.copy()\nc.extend(o)"),
    "k.workload": (K_HEADERS, K_WORKLOAD),
    "m.workload": (M_HEADERS, M_WORKLOAD),
    "k.iterate": (K_HEADERS, "list(h)"),
    "m.iterate": (M_HEADERS, "list(m.items())"),
    # header
    "k.header": ("from kelvarn.headers import Header\nn, v = b'Content-Type', b'text/html; charset=utf-8'\n",
                 "Header(n, v)"),
    "p.header": ("from bench_header import PyHeader\nn, v = b'Content-Type', b'text/html; charset=utf-8'\n",
                 "PyHeader(n, v)"),
    # url
    "k.url_relative": (URLS + "from kelvarn.url import URL\nraw = RELATIVE\n", "URL(raw)"),
    "y.url_relative": (YARL + "raw = RELATIVE.decode()\nY = yarl.URL\n", "Y(raw)"),
    "k.url_absolute": (URLS + "from kelvarn.url import URL\nraw = ABSOLUTE\n", "URL(raw)"),
    "y.url_absolute": (YARL + "raw = ABSOLUTE.decode()\nY = yarl.URL\n", "Y(raw)"),
    "k.url_join": (URLS + "from kelvarn.url import URL\na, b = URL(b'https://example.com:8443/api/'), "
                   "URL(b'/v1/items?page=2&sort=desc#results')\n", "a.join(b)"),
    "y.url_join": (YARL + "a, b = yarl.URL('https://example.com:8443/api/'), "
                   "yarl.URL('v1/items?page=2&sort=desc#results')\n", "a.join(b)"),
    # cookies
    "k.parse_cookie_full": (COOKIES + "from kelvarn.cookies import parse_cookie\nraw = FULL\n", "parse_cookie(raw)"),
    "s.parse_cookie_full": (COOKIES + "from http.cookies import SimpleCookie\nraw = FULL.decode()\n",
                            "SimpleCookie().load(raw)"),
    "k.parse_cookie_session": (COOKIES + "from kelvarn.cookies import parse_cookie\nraw = SESSION\n",
                               "parse_cookie(raw)"),
    "s.parse_cookie_session": (COOKIES + "from http.cookies import SimpleCookie\nraw = SESSION.decode()\n",
                               "SimpleCookie().load(raw)"),
    "k.write_cookie": ("from kelvarn.cookies import Cookie, CookieSameSiteMode\n"
                       "sys.path.insert(0, os.path.join(ROOT, 'tests', 'consumers'))\nimport consumer_build\n"
                       "write = consumer_build.import_cached_cpp().write_cookie_for_response\n"
                       "c = Cookie('session', 'a1b2c3d4e5f6', None, None, '/', True, True, 3600, CookieSameSiteMode.LAX)\n",
                       "write(c)"),
    "s.write_cookie": ("from http.cookies import Morsel, SimpleCookie\nm = Morsel()\n"
                       "m.set('session', 'a1b2c3d4e5f6', SimpleCookie().value_encode('a1b2c3d4e5f6')[1])\n"
                       "m.update({'path': '/', 'max-age': 3600, 'httponly': True, 'secure': True, 'samesite': 'Lax'})\n"
                       "out = m.OutputString\n", "out()"),
}
MEASURES.update({
    f"{impl}.cookie_header_{case}": (CH + setup + f"raw = {case.upper()}" + ("\n" if impl == "k" else ".decode()\n"),
                                     "parse(raw)")
    for impl, setup in CH_PARSERS.items() for case in ("browser", "many")
})

DICT_GET = ("`dict.get`", "floor.dict_get")


class Row:
    def __init__(self, key, label, kelvarn, peer=None, floor=DICT_GET, target=None, wall=None):
        self.key, self.label, self.kelvarn, self.peer, self.floor = key, label, kelvarn, peer, floor
        self.target = target  # ("peer" or "floor", highest ratio)
        self.wall = wall  # the same operation in bench/run.py: (topic, operation, peer's column)

    @property
    def topic(self):
        return self.key.split(".")[0]

    def measures(self, kelvarn_only=False):
        out = [self.kelvarn]
        if not kelvarn_only:
            out += [m for _, m in (self.peer, self.floor) if m]
        return out


ROWS = [
    Row("headers.get_first_hit", "`get_first`, hit near the end", "k.get_first_hit",
        ("multidict `get`", "m.get_hit"), target=("peer", 1.5),
        wall=("headers", "get_first (present)", "multidict")),
    Row("headers.get_first_miss", "`get_first`, miss", "k.get_first_miss",
        ("multidict `get`", "m.get_miss"), target=("peer", 1.3),
        wall=("headers", "get_first (missing)", "multidict")),
    Row("headers.in_hit", "`in`, hit", "k.in_hit", ("multidict `in`", "m.in_hit"),
        wall=("headers", "contains (present)", "multidict")),
    Row("headers.in_miss", "`in`, miss", "k.in_miss", ("multidict `in`", "m.in_miss"), target=("peer", 1.5),
        wall=("headers", "contains (missing)", "multidict")),
    Row("headers.get_hit", "`get`, hit", "k.get_hit", ("multidict `getall`", "m.getall_hit"), target=("peer", 1.1),
        wall=("headers", "get (present)", "multidict")),
    Row("headers.wrap", "`Headers(list)` of 15 entries", "k.wrap", ("multidict from the list", "m.build")),
    Row("headers.clone", "`clone`", "k.clone", ("multidict `copy`", "m.copy"), target=("peer", 2.8),
        wall=("headers", "clone", "multidict")),
    Row("headers.plus", "`+` of 15 and 2 entries", "k.plus", ("multidict `copy` + `extend`", "m.copy_extend"),
        target=("peer", 1.7), wall=("headers", "+ (two headers)", "multidict")),
    Row("headers.iterate", "iterate 15 entries (`list`)", "k.iterate", ("multidict `list(items())`", "m.iterate"),
        wall=("headers", "iterate entries", "multidict")),
    Row("headers.workload", "request workload: wrap 15 headers, 4 × `get_first`, 2 × `in`, 1 `set`, 1 `add`",
        "k.workload", ("the same with multidict", "m.workload"), target=("peer", 0.6),
        wall=("headers", "request workload", "multidict")),
    Row("header.construct", "`Header(name, value)`", "k.header", ("Python class with `__slots__`", "p.header"),
        wall=("header", "construct", "python class")),
    Row("url.relative", "`URL` relative (path, query, fragment)", "k.url_relative", ("yarl `URL`", "y.url_relative"),
        ("bare `httptools.parse_url`", "floor.parse_url_relative"), target=("floor", 1.12),
        wall=("url", "construct: relative path, query, fragment", "yarl", "httptools.parse_url (floor)")),
    Row("url.absolute", "`URL` absolute with port, query and fragment", "k.url_absolute",
        ("yarl `URL`", "y.url_absolute"), ("bare `httptools.parse_url`", "floor.parse_url_absolute"),
        target=("floor", 1.08),
        wall=("url", "construct: absolute, port, query, fragment", "yarl", "httptools.parse_url (floor)")),
    Row("url.join", "`join` absolute base and path with query and fragment", "k.url_join",
        ("yarl `join`", "y.url_join"), wall=("url", "join: absolute, port, query, fragment", "yarl")),
    Row("cookies.parse_full", "`parse_cookie` with Expires, Max-Age, Domain, Path, Secure, HttpOnly, SameSite",
        "k.parse_cookie_full", ("`SimpleCookie().load`", "s.parse_cookie_full"), target=("peer", 0.025),
        wall=("cookies", "parse full cookie", "http.cookies")),
    Row("cookies.parse_session", "`parse_cookie`, session id with Path, HttpOnly", "k.parse_cookie_session",
        ("`SimpleCookie().load`", "s.parse_cookie_session"), wall=("cookies", "parse session id", "http.cookies")),
    *[Row(f"cookie_header.{case}_{peer}", f"`parse_cookie_header`, {label}", f"k.cookie_header_{case}",
          (name, f"{peer}.cookie_header_{case}"), target=target,
          wall=("cookies", f"Cookie header: {wall}", column))
      for case, label, wall in [("browser", "browser header of 6 cookies (221 bytes)", "browser, 6 cookies"),
                                ("many", "header of 30 cookies (728 bytes)", "30 cookies")]
      for peer, name, column, target in [("s", "`SimpleCookie().load`", "http.cookies", ("peer", 0.1)),
                                         ("w", "werkzeug `parse_cookie`", "werkzeug", None),
                                         ("t", "starlette `cookie_parser`", "starlette", ("peer", 0.2))]],
    Row("cookies.write", "`write_cookie_for_response` (from C), Path, Max-Age, HttpOnly, Secure, SameSite",
        "k.write_cookie", ("`Morsel.OutputString()`", "s.write_cookie"),
        wall=("native", "session: Path, Max-Age, HttpOnly, Secure, Lax", "Morsel")),
]


def select(words):
    """The rows of the topics named, the rows named by key, and the rows whose operation contains a word."""
    if not words:
        return list(ROWS)
    return [r for r in ROWS if any(w in (r.topic, r.key) or w in r.key.split(".", 1)[1] for w in words)]


# ---------------------------------------------------------------------------
# Child: runs under callgrind, one statement.


def loop_source(name, params, body):
    args = "".join(f", {p}={p}" for p in params)
    return f"def {name}(_n{args}):\n    for _i in range(_n):\n{textwrap.indent(body, '        ')}\n"


def child(key, n):
    import ctypes
    import gc

    sys.path.insert(0, HERE)
    if key.startswith("scaling."):  # bench_scaling.py's rows
        from bench_scaling import instruction_measures

        MEASURES.update(instruction_measures())
    setup, stmt = MEASURES[key]
    ns = {"__name__": "measured", "os": os, "sys": sys, "ROOT": ROOT}
    exec(setup, ns)
    # The names the statement uses become parameters with defaults, so the
    # loop reads them as locals (as a function body using them would).
    names = sorted(set(compile(stmt, key, "exec").co_names) & set(ns) - {"__builtins__"})
    exec(loop_source("o", names, stmt) + loop_source("e", names, "pass"), ns)
    main = sys.modules["__main__"].__dict__
    main["e"], main["o"] = ns["e"], ns["o"]
    for _ in range(3):  # warm up: specialised bytecode, caches, free lists
        main["e"](min(n, 200))
        main["o"](min(n, 200))
    run = ctypes.pythonapi.PyRun_SimpleString
    run.argtypes = [ctypes.c_char_p]
    run.restype = ctypes.c_int
    gc.collect()
    gc.disable()
    if run(f"e({n})".encode()) or run(f"o({n})".encode()):
        sys.exit(f"{key}: the statement failed")
    print("ok")


# ---------------------------------------------------------------------------
# Driver


def valgrind():
    import shutil

    path = shutil.which("valgrind")
    if not path:
        sys.exit("valgrind is not installed: on Debian or Ubuntu, `sudo apt-get install valgrind` "
                 "(`make bench-instructions` does this when run as root).")
    return path


def totals(path):
    with open(path) as f:
        for line in f:
            if line.startswith("totals:"):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def measure(key, n, workdir, profile_dir=None):
    """Instructions per call of the statement `key`."""
    import re
    import shutil
    import subprocess

    out = os.path.join(workdir, key)
    cmd = [valgrind(), "--tool=callgrind", f"--callgrind-out-file={out}", "--collect-atstart=no",
           f"--toggle-collect={WINDOW}", f"--dump-after={WINDOW}", sys.executable, os.path.abspath(__file__),
           "--child", key, "-n", str(n)]
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0 or proc.stdout.strip() != "ok":
        lines = [l for l in (proc.stderr + proc.stdout).splitlines() if not l.startswith("==")]
        raise RuntimeError(f"{key} failed: {' / '.join(lines[-3:])}")
    dumps = sorted((f for f in os.listdir(workdir) if re.fullmatch(re.escape(key) + r"\.\d+", f)),
                   key=lambda f: int(f.rsplit(".", 1)[1]))
    if len(dumps) != 2:
        raise RuntimeError(f"{key}: expected 2 profiles, found {len(dumps)}")
    empty, full = (totals(os.path.join(workdir, f)) for f in dumps)
    if profile_dir and key.startswith("k."):
        os.makedirs(profile_dir, exist_ok=True)
        shutil.copyfile(os.path.join(workdir, dumps[1]), os.path.join(profile_dir, f"{key[2:]}.callgrind"))
    return (full - empty) / n


def count_all(keys, n, jobs, profile_dir=None, progress=True):
    import concurrent.futures
    import tempfile

    if any(k == "k.write_cookie" for k in keys):  # build the C consumer once, outside the counting
        sys.path.insert(0, os.path.join(ROOT, "tests", "consumers"))
        import consumer_build

        consumer_build.cached_cpp()
    counts = {}
    with tempfile.TemporaryDirectory(prefix="kelvarn-instr-") as workdir, \
            concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        futures = {pool.submit(measure, k, n, workdir, profile_dir): k for k in keys}
        for done, future in enumerate(concurrent.futures.as_completed(futures), 1):
            key = futures[future]
            try:
                counts[key] = future.result()
            except RuntimeError as exc:
                counts[key] = None
                print(f"  {exc}", file=sys.stderr)
            if progress:
                print(f"  [{done}/{len(keys)}] {key}", file=sys.stderr, flush=True)
    return counts


def fmt_count(c):
    return "—" if c is None else f"{c:,.0f}".replace(",", " ")


def ratio(a, b):
    return None if a is None or not b else a / b


def fmt_ratio(r):
    return "—" if r is None else f"{r:.2f}"


def wall_ratios(path):
    """{row key: (kelvarn's time ÷ the peer's, kelvarn's time ÷ the floor's)} from a bench/run.py --json file."""
    import pyperf

    sys.path.insert(0, HERE)
    from run import bench_name

    medians = {b.get_name(): b.median() for b in pyperf.BenchmarkSuite.load(path).get_benchmarks()}
    out = {}
    for r in ROWS:
        if not r.wall:
            continue
        topic, label, peer, *floor = r.wall
        k = medians.get(bench_name(topic, label, "kelvarn"))
        out[r.key] = tuple(ratio(k, medians.get(bench_name(topic, label, impl))) for impl in (peer, *floor))
    return out


def cells_of(r, counts):
    """kelvarn's count, then per side (peer, floor): its name and count, and kelvarn's ratio to it."""
    k = counts.get(r.kelvarn)
    sides = {}
    for side, entry in (("peer", r.peer), ("floor", r.floor)):
        if entry and entry[1] in counts:
            sides[side] = (entry[0], counts[entry[1]], ratio(k, counts[entry[1]]))
    return k, sides


def table(rows, counts, wall=None):
    """A markdown table: kelvarn, peer, floor, ratios (kelvarn ÷ other), target."""
    wall = wall or {}
    head = "| operation | kelvarn | peer | kelvarn ÷ peer |" + (" wall clock |" if wall else "")
    lines = [head + " floor | kelvarn ÷ floor | target |", "|---|--:|--:|--:|" + ("--:|" if wall else "") + "--:|--:|:-:|"]
    for r in rows:
        k, sides = cells_of(r, counts)
        cells = [r.label, fmt_count(k)]
        for side in ("peer", "floor"):
            name, c, q = sides.get(side, ("—", None, None))
            cells += [f"{name} {fmt_count(c)}" if c is not None else "—", fmt_ratio(q)]
            if side == "peer" and wall:
                cells.append(fmt_ratio(wall.get(r.key, (None,))[0]))
        target = "—"
        if r.target:
            side, limit = r.target
            got = sides.get(side, (None, None, None))[2]
            mark = "" if got is None else (" ✓" if got <= limit else " ✗")
            target = f"≤ {limit:g} × {side}{mark}"
        cells.append(target)
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


README_BEGIN, README_END = "<!-- bench-instructions:begin -->", "<!-- bench-instructions:end -->"


def readme_table(rows, counts, wall):
    """The README's table: how many times kelvarn's cost each alternative costs, counted and timed."""
    lines = ["| operation | kelvarn, instructions | alternative, instructions | alternative ÷ kelvarn: "
             "instructions | wall clock | floor, instructions | kelvarn ÷ floor |",
             "|---|--:|--:|--:|--:|--:|--:|"]

    def inverse(q):
        return None if not q else 1 / q

    for r in rows:
        k, sides = cells_of(r, counts)
        peer = sides.get("peer")
        floor = sides.get("floor")
        w = wall.get(r.key, (None,))[0]
        lines.append("| " + " | ".join([
            r.label, fmt_count(k),
            f"{peer[0]} {fmt_count(peer[1])}" if peer else "—",
            f"{inverse(peer[2]):.2f}×" if peer and peer[2] else "—",
            f"{inverse(w):.2f}×" if w else "—",
            f"{floor[0]} {fmt_count(floor[1])}" if floor else "—",
            f"{floor[2]:.2f}×" if floor and floor[2] else "—",
        ]) + " |")
    return "\n".join(lines)


def update_readme(text):
    path = os.path.join(ROOT, "README.md")
    with open(path) as f:
        readme = f.read()
    begin, end = readme.index(README_BEGIN) + len(README_BEGIN), readme.index(README_END)
    with open(path, "w") as f:
        f.write(readme[:begin] + "\n" + text + "\n" + readme[end:])


def main(argv=None):
    import argparse
    import json
    import time

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n\n".join(__doc__.split("\n\n")[1:]))
    parser.add_argument("rows", nargs="*", help="topics or words of row keys (default: every row)")
    parser.add_argument("-n", type=int, default=2000, help="iterations per loop (default 2000)")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1,
                        help="processes at a time (counts do not depend on it)")
    parser.add_argument("--kelvarn-only", action="store_true", help="count kelvarn's statements only")
    parser.add_argument("--profile", metavar="DIR", help="keep the callgrind profile of each kelvarn statement")
    parser.add_argument("--json", metavar="FILE", help="also write the counts to FILE")
    parser.add_argument("--counts", metavar="FILE", help="read the counts from FILE (written by --json): no valgrind")
    parser.add_argument("--wall", metavar="FILE", help="add the wall-clock ratios of a `bench/run.py --json FILE` run")
    parser.add_argument("--readme", action="store_true",
                        help="write the table of every row, with the --wall ratios, into README.md")
    parser.add_argument("--list", action="store_true", help="list the row keys and exit")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        child(args.child, args.n)
        return 0
    rows = select(args.rows)
    if args.list or not rows:
        if not rows:
            print(f"no row matches {' '.join(args.rows)}; the rows are:", file=sys.stderr)
        for r in rows or ROWS:
            print(f"{r.key:24} {r.label}")
        return 0 if rows else 2
    if args.readme and (args.rows or args.kelvarn_only):
        parser.error("--readme takes every row with its peers")
    keys = list(dict.fromkeys(k for r in rows for k in r.measures(args.kelvarn_only)))
    started = time.monotonic()
    if args.counts:
        with open(args.counts) as f:
            counts = json.load(f)
    else:
        valgrind()
        counts = count_all(keys, args.n, args.jobs, args.profile)
    wall = wall_ratios(args.wall) if args.wall else {}
    import platform

    import multidict
    import yarl

    print(f"Instructions per call (callgrind, net of an empty loop, N = {args.n}, PYTHONHASHSEED=0); "
          f"Python {platform.python_version()}, multidict {multidict.__version__}, yarl {yarl.__version__}."
          + (" Wall clock: kelvarn's median time ÷ the peer's, from " + args.wall + "." if wall else "") + "\n")
    print(table(rows, counts, wall))
    if not args.counts:
        print(f"\n({len(keys)} processes, {time.monotonic() - started:.0f} s)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({k: counts[k] for k in keys}, f, indent=1)
    if args.readme:
        update_readme(readme_table(rows, counts, wall))
        print("README.md: table updated")
    return 1 if any(counts.get(k) is None for k in keys) else 0


if __name__ == "__main__":
    sys.exit(main())
