"""HTTP header fields: the ``Header`` pair and the ordered, multi-valued ``Headers`` collection.

Names and values are ``bytes``. Every lookup by name ignores ASCII letter case
(only ``A``-``Z`` fold); stored names keep the spelling they were given.
``Headers.add_many`` tests its argument against the module globals ``Mapping``
and ``MutableSequence`` (from ``collections.abc``), looked up at each call.
"""

from collections.abc import Generator, Mapping, MutableSequence
from typing import Any, ClassVar, Self

from typing_extensions import disjoint_base

_Entry = tuple[bytes, bytes]

@disjoint_base
class Header:
    """One header field: a name and a value.

    A header unpacks like a two-item tuple and equals another ``Header`` whose
    name differs only in ASCII letter case (values compare exactly). It is
    unhashable and immutable, apart from calling ``__init__`` again.

    >>> name, value = Header(b"Content-Type", b"text/html")
    >>> Header(b"Content-Type", b"x") == Header(b"content-type", b"x")
    True
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def name(self) -> bytes:
        """The field name, spelled as given."""

    @property
    def value(self) -> bytes:
        """The field value."""

    def __init__(self, name: bytes, value: bytes) -> None:
        """Make a header from ``name`` and ``value``.

        Raises:
            TypeError: an argument is not exactly ``bytes`` (a subclass,
                ``bytearray`` or ``str`` is refused).
        """

    def __iter__(self) -> Generator[bytes, None, None]:
        """Yield the name, then the value: ``name, value = header``."""

    def __eq__(self, other: object, /) -> bool:
        """Whether ``other`` is a ``Header`` with the same name, ignoring ASCII case, and the same value.

        Anything that is not a ``Header`` (a tuple included) is never equal.
        """

    def __ne__(self, other: object, /) -> bool:
        """The negation of ``==``."""

    def __reduce__(self) -> tuple[Any, ...]:
        """Support for ``pickle`` and ``copy``."""

    def __setstate__(self, __pyx_state: tuple[Any, ...] | None) -> None:
        """Restore the state made by ``__reduce__``."""

@disjoint_base
class Headers:
    """An ordered collection of header fields, with duplicates, looked up by name without regard to ASCII case.

    Entries are ``(name, value)`` tuples of ``bytes``, kept in insertion order
    in the list ``values``. Lookups scan that list; a missing name gives an
    empty result, never ``KeyError``. A collection is always true and has no
    length; it equals only itself.

    >>> h = Headers([(b"Content-Type", b"text/html")])
    >>> h.add(b"Set-Cookie", b"a=1")
    >>> h[b"content-type"]
    (b'text/html',)
    """

    @property
    def values(self) -> list[_Entry]:
        """The entry list itself, not a copy: changing it changes the collection."""

    def __init__(self, values: list[_Entry] | None = None) -> None:
        """Make a collection over ``values``, or over a new empty list.

        The list is used as it is (shared with the caller, not copied or checked).

        Raises:
            TypeError: ``values`` is not exactly a ``list`` or ``None``.
        """
    # Lookup: names match without regard to ASCII letter case.
    def get(self, name: bytes) -> tuple[bytes, ...]:
        """The values of every entry named ``name``, in order; ``()`` when there is none.

        Raises:
            TypeError: ``name`` is not ``bytes``, or an entry is not a tuple.
        """

    def get_tuples(self, name: bytes) -> list[_Entry]:
        """The entries named ``name`` themselves (the stored tuples), in order."""

    def get_first(self, key: bytes) -> bytes | None:
        """The value of the first entry named ``key``, or ``None`` when there is none."""

    def get_single(self, key: bytes) -> bytes:
        """The value of the only entry named ``key``.

        Raises:
            ValueError: there is no such entry, or more than one.
        """

    def keys(self) -> tuple[bytes, ...]:
        """The distinct names as stored (case-sensitive), in order of first appearance."""

    def items(self) -> Generator[_Entry, None, None]:
        """A generator over the entries as stored, in order (the same as ``iter(headers)``)."""

    def contains(self, key: bytes) -> bool:
        """Whether an entry is named ``key``."""

    def __iter__(self) -> Generator[_Entry, None, None]:
        """Iterate over the ``(name, value)`` entries, not over the names."""

    def __getitem__(self, item: bytes, /) -> tuple[bytes, ...]:
        """``headers[name]`` is ``headers.get(name)``: a missing name gives ``()``.

        Raises:
            TypeError: ``item`` is not ``bytes`` (an ``int`` or ``str`` included).
        """

    def __contains__(self, key: bytes, /) -> bool:
        """``name in headers`` is ``headers.contains(name)``.

        Raises:
            TypeError: ``key`` is not ``bytes`` (a ``str`` raises rather than gives ``False``).
        """
    # Mutation and combination.
    def add(self, name: bytes, value: bytes) -> None:
        """Append the entry ``(name, value)``; earlier entries of that name stay."""

    def set(self, name: bytes, value: bytes) -> None:
        """Remove every entry named ``name`` and append ``(name, value)`` at the end."""

    def remove(self, key: bytes) -> None:
        """Remove every entry named ``key``; a missing name is not an error."""

    def __setitem__(self, key: bytes, value: bytes, /) -> None:
        """``headers[name] = value`` is ``headers.set(name, value)``."""

    def __delitem__(self, key: bytes, /) -> None:
        """``del headers[name]`` is ``headers.remove(name)``: a missing name raises nothing."""

    def merge(self, values: list[_Entry | None] | None) -> None:
        """Append each tuple of ``values`` as it is, skipping ``None`` items.

        Raises:
            TypeError: ``values`` is not a ``list``, or an item is neither a tuple nor ``None``
                (the items before it stay appended).
        """

    def update(self, values: dict[bytes, bytes]) -> None:
        """``headers[key] = value`` for each item of ``values``, in order.

        Raises:
            TypeError: ``values`` is not exactly a ``dict``, or a key or value is not ``bytes``.
        """

    def clone(self) -> Headers:
        """A new ``Headers`` (never a subclass) over a new list of new tuples of the same bytes.

        Raises:
            ValueError: an entry does not have two items.
            TypeError: an entry holds something other than ``bytes``.
        """

    def add_many(self, values: Mapping[bytes, bytes] | MutableSequence[Header | _Entry]) -> None:
        """Add every pair of a mapping, or every ``Header`` or two-item tuple of a mutable sequence.

        Raises:
            ValueError: ``values`` is neither a ``MutableSequence`` nor a ``Mapping``
                (a ``tuple`` and a ``Headers`` are neither).
        """

    @staticmethod
    def _add_to_instance(instance: Headers, other: object) -> Any: ...
    def __add__(self, other: Headers | Header | _Entry | MutableSequence[_Entry], /) -> Headers:
        """A new collection: a copy of this one with the entries of ``other`` appended.

        ``other`` may be a ``Headers``, a ``Header``, a ``(name, value)`` tuple or
        a list of such tuples.

        Raises:
            ValueError: a tuple that does not have two items, or a list holding
                something other than two-item tuples.
        """

    def __radd__(self, other: Header | _Entry | MutableSequence[_Entry], /) -> Headers:
        """``other + headers``: like ``headers + other``, so ``other``'s entries come last."""

    def __iadd__(self, other: Headers | Header | _Entry | MutableSequence[_Entry], /) -> Self:
        """Append the entries of ``other`` to this collection in place (see ``__add__``)."""

    def __reduce__(self) -> tuple[Any, ...]:
        """Support for ``pickle`` and ``copy``."""

    def __setstate__(self, __pyx_state: tuple[Any, ...] | None) -> None:
        """Restore the state made by ``__reduce__``."""

def __pyx_unpickle_Header(__pyx_type: type[Header], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None) -> Header:
    """Rebuild a pickled ``Header``; pickles refer to it by name."""

def __pyx_unpickle_Headers(
    __pyx_type: type[Headers], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> Headers:
    """Rebuild a pickled ``Headers``; pickles refer to it by name."""

__test__: dict[str, Any]
