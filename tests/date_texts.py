"""Seeded cookie date texts for comparing the native date reading with the standard one.

Every form the standard parser accepts, right and slightly wrong: day names, either field order, two- and
four-digit years, RFC 850 and asctime forms, named, numeric and obsolete zones, odd whitespace, noise in
numbers, out-of-range fields, non-ASCII look-alikes, invalid UTF-8, encoded surrogates and plain garbage.
"""

import email.utils
import random

DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun", "Wednesday", "Thursday", "Wen"]
MONTHS = [
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec",
    "January", "February", "March", "April", "June", "July", "August", "September", "October", "November",
    "December", "Sept", "Janu", "Mai", "\u212aan",
]
ZONES = [
    "GMT", "UT", "UTC", "Z", "AST", "ADT", "EST", "EDT", "CST", "CDT", "MST", "MDT", "PST", "PDT", "A", "M", "Y",
    "BST", "CET", "+0000", "-0000", "+0200", "-0500", "+0530", "-0930", "+1400", "-1200", "+2359", "-2359",
    "+2400", "-2400", "+9999", "0200", "-0", "+0", "-00", "0", "+1_00", "-1__0", "+", "-", "+-100", "--100",
    "+99999999", "-100000000000", "+1234567890123456789", "E\u017fT", "E\ufb06", "gmt", "Gmt", "uTc",
]
SPACES = [" ", " ", " ", " ", "  ", "\t", "\x0b", "\x0c", "\r", "\n", "\x1c", "\x1d", "\x1e", "\x1f",
          "\u00a0", "\u3000", "\u2028", "\x85"]
NUMBER_NOISE = ["_", "+", "-", "0", "00", "\uff11", "\u0663", "\u00b2", "1" * 19, "9" * 5000, ".", ","]
GARBAGE = "abcxyz,:+-._ 0123456789\t\u00e9\u2028"


def _roll(rnd, *choices):
    """One roll picks from ``(bound, make), ..., make_rest``: the first bound above it, else the rest."""
    roll = rnd.random()
    return next((make for bound, make in choices[:-1] if roll < bound), choices[-1])()


def _case(rnd, text):
    return _roll(rnd, (0.6, lambda: text), (0.75, text.upper), (0.9, text.lower),
                 lambda: "".join(c.upper() if rnd.random() < 0.5 else c.lower() for c in text))


def _number(rnd, low, high, width):
    def noisy():
        text = str(rnd.randint(low, high))
        at = rnd.randrange(len(text) + 1)
        return text[:at] + rnd.choice(NUMBER_NOISE) + text[at:]

    def plain():
        n = rnd.randint(low, high)
        return str(n).zfill(width) if rnd.random() < 0.7 else str(n)

    odd = [-1, 0, 99, 100, 999, 1000, 10000, 2**31, -(2**31) - 1, 10**17]
    return _roll(rnd, (0.92, plain), (0.96, lambda: str(rnd.choice(odd))), noisy)


def _year(rnd):
    return _roll(rnd, (0.45, lambda: str(rnd.randint(1970, 2099))),
                 (0.75, lambda: str(rnd.randint(0, 99)).zfill(2 if rnd.random() < 0.8 else 1)),
                 (0.85, lambda: str(rnd.choice([1, 999, 1000, 9999, 10000, 68, 69, -5, -2000, 0]))),
                 lambda: _number(rnd, 0, 3000, 4))


def _time(rnd):
    h, m, s = _number(rnd, 0, 23, 2), _number(rnd, 0, 59, 2), _number(rnd, 0, 59, 2)
    return _roll(rnd, (0.6, lambda: f"{h}:{m}:{s}"), (0.75, lambda: f"{h}:{m}"),
                 (0.85, lambda: rnd.choice([f"{h}.{m}.{s}", f"{h}.{m}", f"{h}.{m}.{s}.1"])),
                 lambda: rnd.choice([f"{h}:{m}:{s}:00", f"{h}::{s}", f":{m}", f"{h}:{m}:", h, f"{h}:{m}:{s},", "",
                                     "24:00:00", f"{h}:{m}:60", f"{h}.{m}:{s}"]))


def _structured(rnd):
    day, month, year, clock = _number(rnd, 1, 31, 2), _case(rnd, rnd.choice(MONTHS)), _year(rnd), _time(rnd)
    zone = _case(rnd, rnd.choice(ZONES)) if rnd.random() < 0.85 else ""
    tokens = _roll(rnd, (0.55, lambda: [day, month, year, clock]), (0.65, lambda: [month, day, year, clock]),
                   (0.75, lambda: [f"{day}-{month}-{year}", clock]), (0.82, lambda: [month, day, clock, year]),
                   (0.9, lambda: [day, month, clock, year]), lambda: rnd.sample([day, month, year, clock], 4))
    if zone:
        if rnd.random() < 0.2 and zone[0] in "+-":
            tokens[-1] += zone
        else:
            tokens.append(zone)
    if rnd.random() < 0.65:
        name = _case(rnd, rnd.choice(DAYS))
        _roll(rnd, (0.6, lambda: tokens.insert(0, name + ",")), (0.8, lambda: tokens.insert(0, name)),
              lambda: tokens.__setitem__(0, name + "," + tokens[0]))
    if rnd.random() < 0.1:
        tokens.append(rnd.choice(["extra", "(comment)", "GMT", "+0100", ","]))
    if rnd.random() < 0.1:
        tokens[rnd.randrange(len(tokens))] += ","
    text = tokens[0] + "".join(rnd.choice(SPACES) + token for token in tokens[1:])
    return rnd.choice(SPACES) + text + rnd.choice(SPACES) if rnd.random() < 0.1 else text


def _mutate(rnd, text):
    chars = list(text)
    for _ in range(rnd.randint(1, 3)):
        roll, at = rnd.random(), rnd.randrange(len(chars) + 1)
        if roll < 0.4 and chars:
            del chars[min(at, len(chars) - 1)]
        elif roll < 0.8:
            chars.insert(at, rnd.choice(GARBAGE))
        elif chars:
            chars[min(at, len(chars) - 1)] = rnd.choice(GARBAGE)
    return "".join(chars)


def _broken(rnd):
    raw = _structured(rnd).encode()
    at = rnd.randrange(len(raw) + 1)
    return raw[:at] + rnd.choice([b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xff", b"\xc3", b"\x00"]) + raw[at:]


def date_bytes(seed, count):
    """``count`` date byte strings from ``seed``."""
    rnd = random.Random(seed)
    return [_roll(rnd, (0.7, lambda: _structured(rnd).encode()),
                  (0.88, lambda: _mutate(rnd, _structured(rnd)).encode()),
                  (0.94, lambda: "".join(rnd.choice(GARBAGE) for _ in range(rnd.randrange(12))).encode()),
                  (0.97, lambda: bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 12)))),
                  lambda: _broken(rnd)) for _ in range(count)]


def fixdate_bytes(seed, count):
    """``count`` texts of the form ``Wed, 21 Oct 2015 07:28:00 GMT``, fields in range or not, a fifth broken."""
    rnd = random.Random(seed)

    def one():
        two = lambda high: str(rnd.randint(0, high)).zfill(2)
        year = str(_roll(rnd, (0.6, lambda: rnd.randint(1970, 2099)), (0.8, lambda: rnd.randint(0, 120)),
                         lambda: rnd.randint(0, 9999))).zfill(4)
        text = (f"{_case(rnd, rnd.choice(DAYS))[:3]}, {two(33)} {_case(rnd, rnd.choice(MONTHS))[:3]} {year} "
                f"{two(25)}:{two(61)}:{two(61)} {_case(rnd, 'GMT')}")
        return _mutate(rnd, text) if rnd.random() < 0.2 else text

    return [one().encode() for _ in range(count)]


def standard_outcome(raw):
    """What reading ``raw`` gives with the standard function, as a comparable value."""
    return outcome(lambda r: email.utils.parsedate_to_datetime(r.decode()).replace(tzinfo=None), raw)


def outcome(fn, raw):
    try:
        got = fn(raw)
    except Exception as e:  # noqa: BLE001 - compared by type and text
        return ("raised", type(e), str(e))
    return (type(got), got, getattr(got, "tzinfo", None))
