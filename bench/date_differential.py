"""Native cookie date reading against the standard function, over many generated texts.

    python bench/date_differential.py [COUNT] [SEED]

Compares ``datetime_from_cookie_format`` with
``email.utils.parsedate_to_datetime(text).replace(tzinfo=None)`` on COUNT
(default 1,000,000) seeded texts and on the Set-Cookie corpus, by result
(type, value, tzinfo) or by exception type and message. Prints the counts and
exits non-zero on the first mismatch.
"""

import collections
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from date_texts import date_bytes, outcome, standard_outcome  # noqa: E402

import kelvarn.cookies as kc  # noqa: E402

CORPUS = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "set-cookie" / "values.txt"


def corpus_dates():
    if not CORPUS.exists():
        return []
    out = []
    for line in CORPUS.read_bytes().split(b"\n"):
        for part in line.split(b";"):
            key, _, value = part.strip().partition(b"=")
            if key.lower() == b"expires":
                out.append(value)
    return out


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    kinds = collections.Counter()
    checked = 0
    batch = 50_000
    texts = corpus_dates()
    for start in range(0, count, batch):
        texts += date_bytes(seed * 1_000_003 + start, min(batch, count - start))
        for raw in texts:
            got = outcome(kc.datetime_from_cookie_format, raw)
            want = standard_outcome(raw)
            if got != want:
                print(f"MISMATCH for {raw!r}:\n  native   {got}\n  standard {want}")
                return 1
            kinds[got[1].__name__ if got[0] == "raised" else "datetime"] += 1
            checked += 1
        texts = []
    print(f"{checked} texts, all identical: " + ", ".join(f"{k} {v}" for k, v in kinds.most_common()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
