"""Seeded cookie date texts for comparing the native date reading with the standard one.

Every form the standard date parser accepts is generated, right and slightly
wrong: day names with and without a comma, day and month in either order,
two- and four-digit years, RFC 850 dates, asctime order, times with colons or
dots and with or without seconds, named, numeric, obsolete and "-0000" zones,
zones joined to the time, odd whitespace, underscores and signs in numbers,
very long numbers, out-of-range fields, non-ASCII look-alikes, invalid UTF-8
and encoded surrogates, and plain garbage.
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


def _case(rnd, text):
    roll = rnd.random()
    if roll < 0.6:
        return text
    if roll < 0.75:
        return text.upper()
    if roll < 0.9:
        return text.lower()
    return "".join(c.upper() if rnd.random() < 0.5 else c.lower() for c in text)


def _number(rnd, low, high, width):
    roll = rnd.random()
    if roll < 0.92:
        n = rnd.randint(low, high)
        return str(n).zfill(width) if rnd.random() < 0.7 else str(n)
    if roll < 0.96:
        return str(rnd.choice([-1, 0, 99, 100, 999, 1000, 10000, 2**31, -(2**31) - 1, 10**17]))
    text = str(rnd.randint(low, high))
    at = rnd.randrange(len(text) + 1)
    return text[:at] + rnd.choice(NUMBER_NOISE) + text[at:]


def _year(rnd):
    roll = rnd.random()
    if roll < 0.45:
        return str(rnd.randint(1970, 2099))
    if roll < 0.75:
        return str(rnd.randint(0, 99)).zfill(2 if rnd.random() < 0.8 else 1)
    if roll < 0.85:
        return str(rnd.choice([1, 999, 1000, 9999, 10000, 68, 69, -5, -2000, 0]))
    return _number(rnd, 0, 3000, 4)


def _time(rnd):
    h, m, s = _number(rnd, 0, 23, 2), _number(rnd, 0, 59, 2), _number(rnd, 0, 59, 2)
    roll = rnd.random()
    if roll < 0.6:
        return f"{h}:{m}:{s}"
    if roll < 0.75:
        return f"{h}:{m}"
    if roll < 0.85:
        return rnd.choice([f"{h}.{m}.{s}", f"{h}.{m}", f"{h}.{m}.{s}.1"])
    return rnd.choice([f"{h}:{m}:{s}:00", f"{h}::{s}", f":{m}", f"{h}:{m}:", h, f"{h}:{m}:{s},", "", "24:00:00",
                       f"{h}:{m}:60", f"{h}.{m}:{s}"])


def _structured(rnd):
    day, month, year, clock = _number(rnd, 1, 31, 2), _case(rnd, rnd.choice(MONTHS)), _year(rnd), _time(rnd)
    zone = _case(rnd, rnd.choice(ZONES)) if rnd.random() < 0.85 else ""
    form = rnd.random()
    if form < 0.55:
        tokens = [day, month, year, clock]
    elif form < 0.65:
        tokens = [month, day, year, clock]
    elif form < 0.75:
        tokens = [f"{day}-{month}-{year}", clock]
    elif form < 0.82:
        tokens = [month, day, clock, year]
    elif form < 0.9:
        tokens = [day, month, clock, year]
    else:
        tokens = rnd.sample([day, month, year, clock], 4)
    if zone:
        if rnd.random() < 0.2 and zone[0] in "+-":
            tokens[-1] += zone
        else:
            tokens.append(zone)
    if rnd.random() < 0.65:
        name = _case(rnd, rnd.choice(DAYS))
        roll = rnd.random()
        if roll < 0.6:
            tokens.insert(0, name + ",")
        elif roll < 0.8:
            tokens.insert(0, name)
        else:
            tokens[0] = name + "," + tokens[0]
    if rnd.random() < 0.1:
        tokens.append(rnd.choice(["extra", "(comment)", "GMT", "+0100", ","]))
    if rnd.random() < 0.1:
        at = rnd.randrange(len(tokens))
        tokens[at] += ","
    text = ""
    for i, token in enumerate(tokens):
        text += (rnd.choice(SPACES) if i else "") + token
    if rnd.random() < 0.1:
        text = rnd.choice(SPACES) + text + rnd.choice(SPACES)
    return text


def _mutate(rnd, text):
    chars = list(text)
    for _ in range(rnd.randint(1, 3)):
        roll = rnd.random()
        at = rnd.randrange(len(chars) + 1)
        if roll < 0.4 and chars:
            del chars[min(at, len(chars) - 1)]
        elif roll < 0.8:
            chars.insert(at, rnd.choice(GARBAGE))
        elif chars:
            chars[min(at, len(chars) - 1)] = rnd.choice(GARBAGE)
    return "".join(chars)


def date_bytes(seed, count):
    """``count`` date byte strings from ``seed``."""
    rnd = random.Random(seed)
    out = []
    for _ in range(count):
        roll = rnd.random()
        if roll < 0.7:
            raw = _structured(rnd).encode()
        elif roll < 0.88:
            raw = _mutate(rnd, _structured(rnd)).encode()
        elif roll < 0.94:
            raw = "".join(rnd.choice(GARBAGE) for _ in range(rnd.randrange(12))).encode()
        elif roll < 0.97:
            raw = bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 12)))
        else:
            raw = _structured(rnd).encode()
            at = rnd.randrange(len(raw) + 1)
            raw = raw[:at] + rnd.choice([b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xff", b"\xc3", b"\x00"]) + raw[at:]
        out.append(raw)
    return out


def standard_outcome(raw):
    """What reading ``raw`` gives with the standard function, as a comparable value."""
    try:
        got = email.utils.parsedate_to_datetime(raw.decode()).replace(tzinfo=None)
    except Exception as e:  # noqa: BLE001 - compared by type and text
        return ("raised", type(e), str(e))
    return (type(got), got, got.tzinfo)


def outcome(fn, raw):
    try:
        got = fn(raw)
    except Exception as e:  # noqa: BLE001 - compared by type and text
        return ("raised", type(e), str(e))
    return (type(got), got, getattr(got, "tzinfo", None))
