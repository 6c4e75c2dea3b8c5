"""Headers and the shared frame: entry lists replaced while Python code runs,
operator slots inherited by Python subclasses, and generators delegating to
the entry list."""

import pytest

from kelvarn.headers import Header, Headers
from support import assert_no_leaks


class OtherLower(bytes):
    """A name equal to b"a" whose `lower` never matches."""

    def lower(self):
        return b"zzz"


def replacing_remove():
    # Removing (b"a", b"1") makes list.remove compare the earlier entries
    # with it; their second items replace the entry list while it runs.
    class Replace:
        def __eq__(self, other):
            h.__init__()
            [object() for _ in range(100)]
            return False

    h = Headers([(OtherLower(b"a"), Replace()), (OtherLower(b"a"), Replace()), (b"a", b"1")])
    h.remove(b"a")
    return h


def replacing_repr():
    class Replace:
        def __repr__(self):
            h.__init__()
            [object() for _ in range(100)]
            return "r"

    h = Headers([Replace(), Replace(), Replace()])
    return h, repr(h)


def test_remove_keeps_the_entry_list_alive_while_entries_compare():
    h = replacing_remove()
    # The old list was scanned to its end; the collection holds the new one.
    assert h.values == []
    assert_no_leaks(replacing_remove)


def test_repr_keeps_the_entry_list_alive_while_entries_print():
    h, text = replacing_repr()
    assert text == "<Headers [r, r, r]>"
    assert h.values == []
    assert_no_leaks(replacing_repr)
