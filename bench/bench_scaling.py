"""Headers: how each operation grows with the number of entries.

Columns are collection sizes, not implementations: every operation runs on
10^3, 10^4 and 10^5 entries, and the ratio after each cell is its time over
the 10^3 cell, so linear growth reads about 10× and 100×.

Half of the entries match the looked-up name (alternately spelled
``X-Match`` and ``x-match``, one in two entries), the other half have
distinct names (``X-Other-<i>``), so ``keys()`` meets n/2 + 1 distinct names.
Mutations start from a fresh collection built from a copy of the same list;
the first row times that copy alone. At 10^5 entries the entries no longer
fit a core's cache, so every row, the copy included, pays more per entry
there; the table is read against that first row.

Two more shapes follow the exact tuples: "one odd entry" (the same list with
one entry in the middle holding a ``str`` value, so its comparisons go
through Python's ``==``) and "bytes-subclass names" (every name an instance
of a ``bytes`` subclass). On the second, ``set``, ``h[k] = v`` and
``update`` raise, as ``contains`` refuses such names, so only the removals
are timed.

The cyclic garbage collector is switched off in the measuring process, as
``timeit`` does: its full collections cost in proportion to every object
alive in the process (the three sizes' entries), not to the operation timed.

Usage: ``python bench/run.py scaling`` (add ``--fast`` for a rough run);
``python bench/bench_scaling.py`` counts the instructions of the removals
and replacements at 10^4 and 10^5 entries, per shape, with their growth.
"""

import gc

from kelvarn.headers import Header, Headers

TITLE = "Headers scaling (n entries, half of them matching; ratio to n = 10^3)"
# Its ratios compare sizes, not kelvarn with another library: not in the chart.
IN_CHART = False

SIZES = (1_000, 10_000, 100_000)
KEY, MISSING = b"x-match", b"x-missing"


class Name(bytes):
    pass


def entries(n, shape="exact"):
    out = []
    for i in range(n):
        if i % 2 == 0:
            out.append((b"X-Match" if i % 4 == 0 else b"x-match", b"%d" % i))
        else:
            out.append((b"X-Other-%d" % i, b"%d" % i))
    if shape == "one odd entry":
        out[n // 2 + 1] = (b"X-Odd", "text")
    elif shape == "bytes-subclass names":
        out = [(Name(name), value) for name, value in out]
    return out


# The rows each further shape repeats, and their statements on a fresh `h`.
SHAPES = {
    "one odd entry": ["set", "h[k] = v", "remove", "del h[k]", "update (1 key)"],
    "bytes-subclass names": ["remove", "del h[k]"],
}
STATEMENTS = {"set": "h.set(KEY, b'v')", "h[k] = v": "h[KEY] = b'v'", "remove": "h.remove(KEY)",
              "del h[k]": "del h[KEY]", "update (1 key)": "h.update({KEY: b'v'})"}


def shape_operations(n):
    out = []
    for shape, labels in SHAPES.items():
        base = entries(n, shape)
        for label in labels:
            code = compile(STATEMENTS[label], label, "exec")

            def op(code=code, base=base):
                exec(code, {"h": Headers(list(base)), "KEY": KEY})

            out.append((f"{label} ({shape})", op))
    return out


def operations(n):
    """(label, callable) for one size."""
    base = entries(n)
    h = Headers(list(base))
    other = Headers(base[: n // 2])
    half = base[: n // 2]
    # One key per entry of the other half: n/2 distinct keys, each matching one entry.
    many = {name.lower(): b"v" for name, _ in base if not name.lower().startswith(KEY)}
    as_headers = [Header(name, value) for name, value in half]

    def fresh():
        return Headers(list(base))

    def op_set():
        fresh().set(KEY, b"v")

    def op_setitem():
        fresh()[KEY] = b"v"

    def op_remove():
        fresh().remove(KEY)

    def op_delitem():
        del fresh()[KEY]

    def op_update_one():
        fresh().update({KEY: b"v"})

    def op_update_many():
        fresh().update(many)

    def op_add():
        fresh().add(KEY, b"v")

    def op_merge():
        fresh().merge(half)

    def op_add_many():
        fresh().add_many(half)

    def op_add_many_headers():
        fresh().add_many(as_headers)

    def op_iadd():
        c = fresh()
        c += other

    return [
        ("copy of the list (baseline)", fresh),
        ("add", op_add),
        ("set", op_set),
        ("h[k] = v", op_setitem),
        ("remove", op_remove),
        ("del h[k]", op_delitem),
        ("update (1 key)", op_update_one),
        ("update (n/2 keys)", op_update_many),
        ("merge (n/2 tuples)", op_merge),
        ("add_many (n/2 tuples)", op_add_many),
        ("add_many (n/2 Header)", op_add_many_headers),
        ("+= Headers (n/2)", op_iadd),
        ("+ Headers (n/2)", lambda: h + other),
        ("clone", h.clone),
        ("get", lambda: h.get(KEY)),
        ("get_tuples", lambda: h.get_tuples(KEY)),
        ("h[k]", lambda: h[KEY]),
        ("get_first (missing)", lambda: h.get_first(MISSING)),
        ("contains (missing)", lambda: h.contains(MISSING)),
        ("k in h (missing)", lambda: MISSING in h),
        ("keys", h.keys),
        ("items", lambda: list(h.items())),
        ("iterate", lambda: list(h)),
        ("repr", lambda: repr(h)),
    ] + shape_operations(n)


def cases():
    gc.disable()
    per_size = {n: operations(n) for n in SIZES}
    labels = [label for label, _ in per_size[SIZES[0]]]
    rows = []
    for i, label in enumerate(labels):
        rows.append((label, {f"n = {n:,}": per_size[n][i][1] for n in SIZES}))
    return rows


def instruction_measures():
    """{key: (set-up, statement)} for bench/instructions.py: each shape's removals and replacements."""
    out = {}
    for shape, labels in [("exact", ["set", "remove", "del h[k]", "update (1 key)"]), *SHAPES.items()]:
        for label in labels:
            for n in SIZES[1:]:
                setup = (f"from bench_scaling import entries, KEY\nfrom kelvarn.headers import Headers\n"
                         f"base = entries({n}, {shape!r})\n")
                out[f"scaling.{shape}.{label}.{n}"] = (setup, f"h = Headers(list(base))\n{STATEMENTS[label]}")
    return out


def main():
    import instructions

    measures = instruction_measures()
    counts = instructions.count_all(list(measures), 3, 1)
    print("| operation | shape | 10^4 | 10^5 | growth |\n|---|---|--:|--:|--:|")
    for key in measures:
        _, shape, label, n = key.split(".")
        if n == str(SIZES[1]):
            small, large = counts[key], counts[key.replace(n, str(SIZES[2]))]
            print(f"| {label} | {shape} | {instructions.fmt_count(small)} | {instructions.fmt_count(large)} | "
                  f"×{instructions.fmt_ratio(instructions.ratio(large, small))} |")


if __name__ == "__main__":
    main()
