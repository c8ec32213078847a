"""Schema-driven TL binary serialization (C++ extension).

A schema is a JSON object with "constructors" and "methods" lists; each entry
has a "predicate" (or "method"), a 32-bit "id", a result "type" and "params"
(``{"name": ..., "type": ...}``).  Values are plain dicts whose "_" key names
the constructor and whose other keys are that constructor's field names.
"""

from collections.abc import Mapping
from typing import Any, Literal, NoReturn, Self, TypeAlias

from typing_extensions import Buffer, disjoint_base

# Stub-only aliases: import them under ``if TYPE_CHECKING:``.
TLValue: TypeAlias = int | float | str | bytes | bool | None | list[TLValue] | dict[str, TLValue]
"""A field value: ``int``/``#``/``long`` (and, in the standard mode,
``int128``/``int256``, as bytes with ``wide_ints="bytes"``) as int, ``double`` as float, ``string`` as str
(as bytes with ``strings="bytes"``),
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
      field is a flags word and a value too (unpack gives it; pack keeps
      the bits no conditional field uses), ``bytes`` fields pack from any
      bytes-like object or from a mapping (the boxed serialization of that
      object), and ``gzip_packed`` objects are inflated (at most ``max_inflated``
      bytes in all per unpack, 16 MiB unless given).  ``wide_ints="bytes"`` unpacks ``int128``/``int256`` as
      their 16/32 wire bytes; pack takes an int or bytes of that width.

    In either mode, ``strict=True`` makes ``pack`` refuse (ValueError, naming
    the constructor and the key) a key that is no field of the constructor
    (flags words are fields), a missing unconditional field, and a field that
    is only a flag bit (``flags.N?true``; in the default mode also
    ``flags.N?Bool``) given anything but True, False or None.

    One parser may serve any number of calls and threads at once.
    """

    def __new__(
        cls,
        schema_json: str | dict[str, Any],
        *,
        standard: bool = False,
        strings: Literal["str", "bytes"] = "str",
        wide_ints: Literal["int", "bytes"] = "int",
        strict: bool = False,
        max_inflated: int = 16777216,
    ) -> Self:
        """Compile ``schema_json`` for the default or (``standard=True``) the
        standard mode; schema errors propagate from the compiler.
        ``strings="bytes"`` reads every ``string`` field as bytes and packs it
        from any bytes-like object or str (UTF-8).  The standard mode knows
        the service layer (``rpc_result``, ``msg_container`` over the service
        ``message``, ``msg_copy``, ``gzip_packed``) without schema lines.  The
        standard mode also refuses a bare type without exactly one
        constructor and a condition on anything but an earlier ``#`` field
        (ValueError).  ``wide_ints="bytes"`` needs ``standard=True``
        (ValueError otherwise).  ``strict=True``: see the class.
        ``max_inflated`` bounds, in bytes, what the
        ``gzip_packed`` objects of one unpack may inflate to, all together
        (a non-negative int; ValueError when negative)."""

    def pack(self, value: Any, *, type: str | None = None, results: Mapping[int, str] | None = None) -> bytes:
        """Encode ``value``, whose "_" key names a constructor, into TL bytes.
        Any mapping will do, the TypedDicts of ``velta types`` included.
        With ``type`` (a type text such as "Vector<long>" or "Bool"), encode a
        value of that type.  ``results`` maps a pending request's
        ``req_msg_id`` to a type text or method name: its ``rpc_result`` result
        is written as that type.  A container message's ``bytes`` is always
        its body's packed length.

        Flags words are computed from which conditional fields are present
        (not None; exactly True for ``true`` fields).  A missing unconditional
        field is written as the zero value of its kind.  ``int`` takes -2**31
        to 2**32 - 1, so what ``unpack`` returns packs again.  Raises
        ValueError for a missing or unknown "_" (an unknown name carries a
        note with the closest known names: "did you mean 'user'?"), and with
        ``strict=True`` for what strict packing refuses; TypeError and
        OverflowError for values that do not fit their field.
        """

    def unpack(self, data: bytes, *, type: str | None = None, results: Mapping[int, str] | None = None) -> Any:
        """Decode one TL object from ``data`` into a dict whose "_" key names
        the constructor (or a value of ``type``, a type text; ValueError
        naming a bad one).  Bytes after the object are ignored.  ``results``:
        every ``rpc_result`` whose ``req_msg_id`` has an entry reads its
        result as that type; one without reads as a boxed object, or as its
        bytes when it is not one.  A container message's body must take
        exactly ``bytes`` bytes (ValueError).

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

    def unpack_from(
        self,
        buffer: Buffer | bytes | bytearray | memoryview,
        offset: int = 0,
        *,
        type: str | None = None,
        results: Mapping[int, str] | None = None,
    ) -> tuple[Any, int]:
        """Decode one TL object from ``buffer`` (any C-contiguous buffer:
        bytes, bytearray, memoryview, mmap; read in place, and held for the
        call) starting at ``offset``; return it with the offset just past it,
        so that concatenated messages parse in a loop.

        Errors as for ``unpack``, with positions counted from the start of
        the buffer; byte-string padding counts from ``offset``.  ValueError
        "offset out of range" for an offset below 0 or past the end,
        TypeError for an object without the buffer interface.
        """

    def result_type(self, method_name: str) -> str:
        """The result type text of a method ("Vector<long>" for
        ``photos.deletePhotos``); ValueError for a name that is no method."""

    def __reduce__(self) -> NoReturn:
        """Always raises TypeError: parsers cannot be pickled or copied."""

    def __setstate__(self, state: object, /) -> NoReturn:
        """Always raises TypeError: parsers cannot be pickled or copied."""
