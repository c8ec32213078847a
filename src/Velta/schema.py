"""Conversion of TL schema text into the JSON schema that ``TLParser`` loads.

``from_tl(text)`` reads a schema written in the TL language and returns the
dict that ``Velta.tl.TLParser`` and ``TLSchemaCompiler.compile`` accept::

    {"constructors": [{"id": "-1720552011", "predicate": "boolTrue",
                       "params": [], "type": "Bool"}, ...],
     "methods": [{"id": "...", "method": "users.getUsers",
                  "params": [{"name": "id", "type": "Vector<InputUser>"}],
                  "type": "Vector<User>"}, ...]}

The text is read as follows.

* Lines end at ``\\n`` (a ``\\r`` before it belongs to the line break); no
  other character ends a line. A UTF-8 byte order mark at the start of the
  text is ignored.
* ``//`` starts a comment that runs to the end of the line; blank lines are
  ignored. A combinator may span several lines and always ends with ``;``.
* Combinators before ``---functions---``, or after ``---types---``, are
  constructors; those after ``---functions---`` are methods.
* Names (``storage.fileJpeg``), parameter types (``flags.3?Vector<long>``,
  ``#``, ``!X``) and result types are kept exactly as written, except that
  a type in parentheses is read without them: ``(vector T)`` is the bare
  vector ``vector<T>`` and ``(T)`` is ``T``. Bit numbers are ASCII digits.
* Generic declarations in braces (``{X:Type}``) are not parameters and are
  dropped from ``params``; a parameter typed ``!X`` keeps the text ``!X``.
* Built-in declarations are skipped: a line whose id is ``?`` (``int ? =
  Int;``, ``string ? = String;``), the ``int128``/``int256`` lines and the
  ``vector`` combinator, which the
  codec knows by itself. ``boolTrue``, ``boolFalse`` and ``true`` are real
  constructors with real ids and are kept.
* Ids are emitted as signed 32-bit decimal text (``#ffffffff`` gives "-1").
* Repetitions (``n:# xs:n*[int]``) and bare anonymous parameters have no
  place in the JSON schema and are refused as malformed.

Dialects. ``dialect="telegram"`` (the default) reads the messaging API's
schemas (``api.tl``, ``mtproto.tl``); ``dialect="ton"`` reads the TON
schemas (``lite_api.tl``, ``ton_api.tl``, ``tonlib_api.tl``). They differ
in three ways:

* ids: see below;
* TON declares its scalars as combinators. Those named ``int``, ``long``,
  ``double``, ``string``, ``bytes``, ``int32``, ``int53``, ``int64``,
  ``secureString`` and ``secureBytes`` (``bytes data:string = Bytes;``,
  ``int32 = Int32;``) are not entries, and parameter types use the codec's
  scalars for them: ``int32`` is ``int``, ``int53`` and ``int64`` are
  ``long``, ``secureString`` is ``string``, ``secureBytes`` is ``bytes``;
  the lowercase ``object`` and ``function`` are ``Object`` and ``Function``,
  which hold any boxed object;
* TON parsers use only the standard conventions, so conditions that only
  ``TLParser(..., standard=True)`` packs (``mode:# x:mode.0?int``) are not
  reported.

Ids. A combinator without ``#id`` gets ``combinator_id`` of its text. One
with an explicit id keeps it; when the id differs from the computed one a
``TLSchemaWarning`` names the line and both ids. ``combinator_id`` is the
CRC32 (``zlib.crc32``) of the combinator text normalised thus, in order:

1. the trailing ``;`` and the ``#id`` right after the name are removed;
2. the characters ``{``, ``}``, ``(`` and ``)`` are removed, keeping what
   they enclose;
3. every parameter of the form ``name:W.N?true`` is removed;
4. the type ``bytes`` is written as ``string`` where it stands as a
   parameter's own type (right after ``:`` or a condition's ``?``): the two
   share one encoding and hash alike. Inside ``Vector<...>`` it stays
   ``bytes``;
5. each ``<`` becomes a space and each ``>`` is removed;
6. spaces are put around ``=``, runs of white space become one space, and
   the text is stripped at both ends.

So ``vector {t:Type} # [ t ] = Vector t`` hashes the text ``vector t:Type
# [ t ] = Vector t``, giving 0x1cb5c415, and ``boolTrue = Bool`` gives
0x997275b5. The TON dialect uses TL's original rule: steps 1, 2, 5 and 6
only, so ``bytes`` stays ``bytes`` and ``flags.N?true`` parameters are
hashed (``liteServer.query data:bytes = Object`` gives 0x798c06df).

Flags words. The codec's default mode computes and reads only the flags
words named ``flags`` and ``flags2``, by their names alone, that come before
the fields they govern; the standard mode takes any unconditional ``#``
field declared before them. A conditional field that one of the modes
cannot pack -- governed by a word of another name (``f:# x:f.0?int``:
standard mode only), by a ``flags`` field that is not ``#`` (``flags:int``:
default mode only), or by a word declared after it or not at all (neither)
-- is kept, and ``from_tl`` issues a ``TLSchemaWarning`` naming the line,
the combinator, the field and the mode that packs it. The TON dialect does
not report fields that the standard mode packs.

Repeats. The codec keeps one entry per name and per id: a later entry with
the same name or the same id replaces an earlier one (``effective_entries``
lists what remains). ``from_tl`` keeps every entry in the output, as
written, and warns with a ``TLSchemaWarning`` when a name or an id is
defined a second time.

Malformed input raises ``ValueError`` whose message starts with the number of
the offending line (for a combinator, the line where it begins).
"""

import re
import warnings
import zlib
from collections.abc import Callable, Mapping
from typing import Any, Literal, TypeAlias

__all__ = ["TLSchemaWarning", "combinator_id", "effective_entries", "from_tl"]

Entry: TypeAlias = dict[str, Any]
Dialect: TypeAlias = Literal["telegram", "ton"]
_DIALECTS = ("telegram", "ton")


class TLSchemaWarning(UserWarning):
    """A line the codec will not treat as its text says: an explicit
    combinator id that differs from the id its text hashes to, a name or
    id defined twice, or a conditional field whose flags word the codec does
    not know."""


_IDENT = r"[A-Za-z_]\w*"
_SECTION = re.compile(r"---(\w+)---")
_NAME = re.compile(r"([A-Za-z_][\w.]*)(?:#([0-9a-fA-F]{1,8}))?")
_GENERIC_BLOCK = re.compile(r"\{([^{}]*)\}")
_GENERIC_DECL = re.compile(rf"{_IDENT}:(?:Type|#)")
_PAREN_GROUP = re.compile(r"\(([^()]*)\)")
_TYPE = r"[!%]?[A-Za-z_][\w.%<>]*"
_PARAM = re.compile(rf"({_IDENT}):((?:{_IDENT}\.[0-9]+\?)?(?:#|{_TYPE}))")
_RESULT = re.compile(_TYPE)
_FLAG_WORDS = ("flags", "flags2")
_BUILT_IN = ("vector", "int128", "int256")

# TON's scalar declarations, and the codec's scalar for each of their names.
_TON_SCALARS = {"int32": "int", "int53": "long", "int64": "long", "secureString": "string",
                "secureBytes": "bytes", "object": "Object", "function": "Function"}
_TON_BUILT_IN = ("int", "long", "double", "string", "bytes", *_TON_SCALARS)
_TON_SCALAR = re.compile(rf"(?<![\w.%!])({'|'.join(_TON_SCALARS)})(?![\w.])")

# Normalisation steps of combinator_id.
_LEADING_ID = re.compile(r"^([^\s#]+)#[0-9a-fA-F]*")
_TRUE_FLAG = re.compile(rf"(?<!\S){_IDENT}:{_IDENT}\.[0-9]+\?true(?!\S)")
_BYTES_TYPE = re.compile(r"(?<=[:?])bytes(?![\w.])")


def combinator_id(text: str, *, dialect: Dialect = "telegram") -> int:
    """The unsigned 32-bit id that TL derives from a combinator's text, by the
    messaging API's rule or (``dialect="ton"``) by TL's original one."""
    _check_dialect(dialect)
    text = _LEADING_ID.sub(r"\1", text.strip().rstrip(";").strip())
    for char in "{}()":
        text = text.replace(char, "")
    if dialect == "telegram":
        text = _TRUE_FLAG.sub(" ", text)
        text = _BYTES_TYPE.sub("string", text)
    text = text.replace("<", " ").replace(">", "").replace("=", " = ")
    return zlib.crc32(" ".join(text.split()).encode()) & 0xFFFFFFFF


def _check_dialect(dialect: object) -> None:
    if dialect not in _DIALECTS:
        raise ValueError(f"dialect must be 'telegram' or 'ton', not {dialect!r}")


def _entry_name(entry: Mapping[str, Any]) -> str:
    # The compiler's fallback: "predicate", then "method", then "type".
    return str(entry.get("predicate", entry.get("method", entry.get("type", ""))))


def effective_entries(schema: Mapping[str, Any]) -> list[tuple[bool, Entry]]:
    """(is_method, entry) for each entry the codec ends up with, for a schema
    in the form ``TLParser`` takes: constructors and methods share one table,
    where a later entry with the same name or the same id replaces an earlier
    one. An entry that replaces another takes the end of the list.

    These are the entries that round-trip. (The codec looks names up for
    ``pack`` and ids for ``unpack``, so an entry whose id alone was taken over
    still packs, but its bytes unpack as the later entry.)"""
    table: dict[str, tuple[bool, Entry, int]] = {}
    name_of_id: dict[int, str] = {}
    for key in ("constructors", "methods"):
        for entry in schema.get(key) or []:
            if not isinstance(entry, dict):
                continue
            name = _entry_name(entry)
            ident = int(entry.get("id", 0)) & 0xFFFFFFFF
            for replaced in (name_of_id.pop(ident, None), name):
                if replaced is not None and replaced in table:
                    name_of_id.pop(table.pop(replaced)[2], None)
            table[name] = (key == "methods", entry, ident)
            name_of_id[ident] = name
    return [(is_method, entry) for is_method, entry, _ in table.values()]


def _balanced(type_text: str) -> bool:
    depth = 0
    for char in type_text:
        depth += {"<": 1, ">": -1}.get(char, 0)
        if depth < 0:
            return False
    return depth == 0 and "<>" not in type_text


def _without_parentheses(text: str, fail: Callable[[str], ValueError]) -> str:
    """Types in parentheses as the codec writes them: ``(vector T)`` is
    ``vector<T>`` and ``(T)`` is ``T``, innermost first."""
    def rewrite(group: "re.Match[str]") -> str:
        words = group.group(1).split()
        if len(words) == 2 and words[0] == "vector":
            return f"vector<{words[1]}>"
        if len(words) == 1:
            return words[0]
        raise fail(f"bad type in parentheses '{group.group(0)}'")

    while True:
        text, count = _PAREN_GROUP.subn(rewrite, text)
        if not count:
            break
    if "(" in text or ")" in text:
        raise fail("unbalanced parentheses")
    return text


class _Combinator:
    """One combinator's text read into its JSON entry; ``warnings`` holds what
    the codec will not treat as the text says."""

    def __init__(self, text: str, lineno: int, dialect: Dialect):
        self.text, self.lineno, self.dialect = text, lineno, dialect
        self.warnings: list[str] = []

    def fail(self, problem: str) -> ValueError:
        return ValueError(f"line {self.lineno}: {problem} in combinator: {self.text}")

    def entry(self, is_method: bool) -> Entry | None:
        """The JSON entry, or None for a built-in declaration."""
        left, eq, right = self.text.partition("=")
        if not eq:
            raise self.fail("expected '='")
        if "=" in right:
            raise self.fail("more than one '='")
        generics = " ".join(_GENERIC_BLOCK.findall(left)).split()
        body = _GENERIC_BLOCK.sub(" ", left)
        if "{" in body or "}" in body:
            raise self.fail("unbalanced braces")
        tokens = _without_parentheses(body, self.fail).split()
        if not tokens:
            raise self.fail("missing name")
        name_match = _NAME.fullmatch(tokens[0])
        if not name_match:
            raise self.fail(f"bad name '{tokens[0]}'")
        name, explicit = name_match.groups()
        built_in = _TON_BUILT_IN + _BUILT_IN if self.dialect == "ton" else _BUILT_IN
        if name in built_in or tokens[1:2] == ["?"]:
            return None
        for decl in generics:
            if not _GENERIC_DECL.fullmatch(decl):
                raise self.fail(f"bad generic declaration '{decl}'")
        params = self.params(name, tokens[1:])
        result = _without_parentheses(right, self.fail).split()
        if len(result) != 1 or not _RESULT.fullmatch(result[0]) or not _balanced(result[0]):
            raise self.fail(f"bad result type '{right.strip()}'")
        ident = self.ident(name, explicit)
        return {
            "id": str(ident - (1 << 32) if ident >= 1 << 31 else ident),
            "method" if is_method else "predicate": name,
            "params": params,
            "type": result[0],
        }

    def params(self, name: str, args: list[str]) -> list[Entry]:
        params = []
        named_words = set()  # "flags"/"flags2" so far, of any type: the default mode's words
        hash_fields = set()  # unconditional '#' fields so far: the standard mode's words
        for arg in args:
            param = _PARAM.fullmatch(arg)
            if not param or not _balanced(param.group(2)):
                raise self.fail(f"bad parameter '{arg}'")
            field, type_text = param.groups()
            if self.dialect == "ton":
                type_text = _TON_SCALAR.sub(lambda m: _TON_SCALARS[m.group(1)], type_text)
            params.append({"name": field, "type": type_text})
            word, dot, _ = type_text.partition(".")
            if dot and "?" in type_text:
                default_packs, standard_packs = word in named_words, word in hash_fields
                if not (default_packs and standard_packs):
                    self.condition_warning(name, field, word, default_packs, standard_packs)
            if field in _FLAG_WORDS:
                named_words.add(field)
            if type_text == "#":
                hash_fields.add(field)
        return params

    def condition_warning(self, name: str, field: str, word: str, default_packs: bool,
                          standard_packs: bool) -> None:
        if standard_packs and self.dialect == "ton":
            return  # TON speaks only the standard conventions
        where = "not a '#' field declared before it" if word in _FLAG_WORDS else "not 'flags' or 'flags2'"
        if default_packs:
            outcome = "only the default mode can pack it (standard=True refuses the schema)"
        elif standard_packs:
            outcome = "only TLParser(..., standard=True) can pack it"
        else:
            outcome = "the codec cannot pack it (standard=True refuses the schema)"
        self.warnings.append(f"line {self.lineno}: {name}: field '{field}' depends on flags word "
                             f"'{word}', which is {where}; {outcome}")

    def ident(self, name: str, explicit: str | None) -> int:
        computed = combinator_id(self.text, dialect=self.dialect)
        if explicit is None:
            return computed
        given = int(explicit, 16)
        if given != computed:
            self.warnings.append(f"line {self.lineno}: {name} is given id #{given:08x} "
                                 f"but its text hashes to #{computed:08x}")
        return given


class _Repeats:
    """Warns when a name or an id is defined again: the codec keeps the later
    definition only."""

    def __init__(self) -> None:
        self.line_of_name: dict[str, int] = {}
        self.by_id: dict[int, tuple[str, int]] = {}

    def check(self, entry: Entry, lineno: int) -> list[str]:
        name = _entry_name(entry)
        ident = int(entry["id"]) & 0xFFFFFFFF
        found = []
        if name in self.line_of_name:
            found.append(f"line {lineno}: {name} is defined again (first at line "
                         f"{self.line_of_name[name]}); the later definition replaces the earlier one")
        other, other_line = self.by_id.get(ident, (name, 0))
        if other != name:
            found.append(f"line {lineno}: {name} has the id #{ident:08x} of {other} (line {other_line}); "
                         f"the later definition replaces the earlier one")
        self.line_of_name[name] = lineno
        self.by_id[ident] = (name, lineno)
        return found


def _lines(text: str) -> list[str]:
    # Only "\n" ends a line (str.splitlines() would also break at a form feed,
    # "\x85" or "\u2028", and so end a comment early).
    if text.startswith("\ufeff"):
        text = text[1:]
    return text.split("\n")


def from_tl(text: str, *, dialect: Dialect = "telegram") -> dict[str, list[Entry]]:
    """Convert TL schema text into the JSON-shaped schema dict.

    See the module docstring for the accepted language, the two dialects,
    the built-in lines that are skipped and the way missing ids are computed.
    """
    _check_dialect(dialect)
    constructors: list[Entry] = []
    methods: list[Entry] = []
    target = constructors
    repeats = _Repeats()
    pending: list[str] = []
    start = 0
    for lineno, line in enumerate(_lines(text), 1):
        line = line.split("//", 1)[0].strip()
        section = _SECTION.fullmatch(line)
        if section:
            if pending:
                raise ValueError(f"line {start}: missing ';' before the section at line {lineno}")
            if section.group(1) not in ("types", "functions"):
                raise ValueError(f"line {lineno}: unknown section '{line}'")
            target = methods if section.group(1) == "functions" else constructors
            continue
        while line:
            head, end, line = line.partition(";")
            if head.strip():
                if not pending:
                    start = lineno
                pending.append(head.strip())
            if end and pending:
                combinator = _Combinator(" ".join(pending), start, dialect)
                entry = combinator.entry(target is methods)
                found = combinator.warnings
                if entry is not None:
                    target.append(entry)
                    found += repeats.check(entry, start)
                for message in found:
                    warnings.warn(message, TLSchemaWarning, stacklevel=2)
                pending = []
            line = line.strip()
    if pending:
        combinator_text = " ".join(pending)
        raise ValueError(f"line {start}: missing ';' at the end of the combinator: {combinator_text}")
    return {"constructors": constructors, "methods": methods}
