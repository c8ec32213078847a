"""Schema-driven TL binary serialization (C++ extension).

A schema is a JSON object with "constructors" and "methods" lists; each entry
has a "predicate" (or "method"), a 32-bit "id", a result "type" and "params"
(``{"name": ..., "type": ...}``).  Values are plain dicts whose "_" key names
the constructor and whose other keys are that constructor's field names.
"""

from collections.abc import Mapping
from typing import Any, NoReturn, Self, TypeAlias

from typing_extensions import Buffer, disjoint_base

# Stub-only aliases: import them under ``if TYPE_CHECKING:``.
TLValue: TypeAlias = int | float | str | bytes | bool | None | list[TLValue] | dict[str, TLValue]
"""A field value: ``int``/``#``/``long`` (and, in the standard mode,
``int128``/``int256``) as int, ``double`` as float, ``string`` as str,
``bytes`` as bytes, ``Bool``/``true`` as bool, a vector as a list, a nested
object (boxed or bare) as a dict, an absent conditional field as None."""

TLObject: TypeAlias = dict[str, TLValue]
"""An object: "_" holds the constructor name, one key per non-flags field."""

# Both types do their construction in __new__ and have no __init__ of their own.

@disjoint_base
class TLSchemaCompiler:
    """Compiles a JSON TL schema into the table a TLParser works from."""

    def __new__(cls, *args: object, **kwargs: object) -> Self:
        """Create a compiler with no schema; any arguments are ignored."""

    def compile(self, json_data: str | dict[str, Any]) -> None:
        """Build the constructor table from JSON text or a decoded dict.

        Entries of "constructors" come first, then those of "methods"; a later
        entry with the same id or name replaces an earlier one.  Errors of the
        JSON decoder propagate; a wrongly shaped schema raises TypeError,
        AttributeError, KeyError, ValueError or OverflowError.
        """

    def __reduce__(self) -> NoReturn:
        """Always raises TypeError: compilers cannot be pickled or copied."""

    def __setstate__(self, state: object, /) -> NoReturn:
        """Always raises TypeError: compilers cannot be pickled or copied."""

@disjoint_base
class TLParser:
    """Packs dicts into TL bytes and unpacks them, driven by a schema given
    as JSON text or as an already decoded dict.

    Two encodings, chosen when the parser is made:

    * the default mode (``standard=False``): ``Bool`` is a bare 32-bit 1/0
      and ``flags.N?Bool`` only a bit, ``int``/``long`` read unsigned, only
      ``flags``/``flags2`` are flags words, and ``int128``, ``int256`` and
      bare types are read as boxed objects;
    * the standard mode (``standard=True``): ``Bool`` is boxed
      (``boolTrue``/``boolFalse``) and ``flags.N?Bool`` carries its value,
      ``int``/``long`` read signed, ``int128``/``int256`` are ints, ``%Type``,
      ``vector<T>`` and lowercase constructor names are bare, every ``#``
      field is a flags word, and ``gzip_packed`` objects are inflated (at
      most ``max_inflated`` bytes in all per unpack, 16 MiB unless given).

    One parser may serve any number of calls and threads at once.
    """

    def __new__(cls, schema_json: str | dict[str, Any], *, standard: bool = False,
                max_inflated: int = 16777216) -> Self:
        """Compile ``schema_json`` for the default or (``standard=True``) the
        standard mode; schema errors propagate from the compiler.  The
        standard mode also refuses a bare type without exactly one
        constructor and a condition on anything but an earlier ``#`` field
        (ValueError).  ``max_inflated`` bounds, in bytes, what the
        ``gzip_packed`` objects of one unpack may inflate to, all together
        (a non-negative int; ValueError when negative)."""

    def pack(self, value: Mapping[str, Any]) -> bytes:
        """Encode ``value``, whose "_" key names a constructor, into TL bytes.
        Any mapping will do, the TypedDicts of ``velta types`` included.

        Flags words are computed from which conditional fields are present
        (not None; exactly True for ``true`` fields).  A missing unconditional
        field is written as the zero value of its kind.  ``int`` takes -2**31
        to 2**32 - 1, so what ``unpack`` returns packs again.  Raises
        ValueError for a missing or unknown "_", TypeError and OverflowError
        for values that do not fit their field.
        """

    def unpack(self, data: bytes) -> Any:
        """Decode one TL object from ``data`` into a dict whose "_" key names
        the constructor.  Bytes after the object are ignored.

        The result is typed ``Any`` so that it can be given a precise type
        (``msg: Message = parser.unpack(data)``, with the TypedDicts that
        ``velta types`` writes); it is always a ``dict[str, Any]``.

        In the default mode ``int`` fields read back unsigned (0 to
        4294967295); in the standard mode signed.  Raises RuntimeError
        "Parse error at position N" for truncated input and ValueError for an
        unknown constructor id or a bad vector id (in the standard mode also
        for a bad Bool id, a bad gzip_packed object, or a count of elements
        that take no bytes beyond what the input allows).
        """

    def unpack_from(self, buffer: Buffer | bytes | bytearray | memoryview, offset: int = 0) -> tuple[Any, int]:
        """Decode one TL object from ``buffer`` (any C-contiguous buffer:
        bytes, bytearray, memoryview, mmap; read in place, and held for the
        call) starting at ``offset``; return it with the offset just past it,
        so that concatenated messages parse in a loop.

        Errors as for ``unpack``, with positions counted from the start of
        the buffer; byte-string padding counts from ``offset``.  ValueError
        "offset out of range" for an offset below 0 or past the end,
        TypeError for an object without the buffer interface.
        """

    def __reduce__(self) -> NoReturn:
        """Always raises TypeError: parsers cannot be pickled or copied."""

    def __setstate__(self, state: object, /) -> NoReturn:
        """Always raises TypeError: parsers cannot be pickled or copied."""
