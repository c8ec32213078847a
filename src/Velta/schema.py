"""Conversion of TL schema text into the JSON schema that ``TLParser`` loads.

``from_tl(text)`` reads a schema written in the TL language and returns the
dict that ``Velta.tl.TLParser`` and ``TLSchemaCompiler.compile`` accept::

    {"constructors": [{"id": "-1720552011", "predicate": "boolTrue",
                       "params": [], "type": "Bool"}, ...],
     "methods": [{"id": "...", "method": "users.getUsers",
                  "params": [{"name": "id", "type": "Vector<InputUser>"}],
                  "type": "Vector<User>"}, ...]}

The text is read as follows.

* ``//`` starts a comment that runs to the end of the line; blank lines are
  ignored. A combinator may span several lines and always ends with ``;``.
* Combinators before ``---functions---``, or after ``---types---``, are
  constructors; those after ``---functions---`` are methods.
* Names (``storage.fileJpeg``), parameter types (``flags.3?Vector<long>``,
  ``#``, ``!X``) and result types are kept exactly as written.
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

Ids. A combinator without ``#id`` gets ``combinator_id`` of its text. One
with an explicit id keeps it; when the id differs from the computed one a
``TLSchemaWarning`` names the line and both ids. ``combinator_id`` is the
CRC32 (``zlib.crc32``) of the combinator text normalised thus, in order:

1. the trailing ``;`` and the ``#id`` right after the name are removed;
2. the characters ``{`` and ``}`` are removed, keeping what they enclose;
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
0x997275b5.

Flags words. The codec computes and reads only the flags words named
``flags`` and ``flags2`` (type ``#``) that come before the fields they
govern. A conditional field governed by any other word (``f:# x:f.0?int``)
or by a word declared after it or not at all is valid TL but cannot be packed
or unpacked; ``from_tl`` keeps it and issues a ``TLSchemaWarning`` naming the
line, the combinator and the field.

Malformed input raises ``ValueError`` whose message starts with the number of
the offending line (for a combinator, the line where it begins).
"""

import re
import warnings
import zlib

__all__ = ["TLSchemaWarning", "combinator_id", "from_tl"]


class TLSchemaWarning(UserWarning):
    """A line the codec will not treat as its text says: an explicit
    combinator id that differs from the id its text hashes to, or a
    conditional field whose flags word the codec does not know."""


_IDENT = r"[A-Za-z_]\w*"
_SECTION = re.compile(r"---(\w+)---")
_NAME = re.compile(r"([A-Za-z_][\w.]*)(?:#([0-9a-fA-F]{1,8}))?")
_GENERIC_BLOCK = re.compile(r"\{([^{}]*)\}")
_GENERIC_DECL = re.compile(rf"{_IDENT}:(?:Type|#)")
_TYPE = r"[!%]?[A-Za-z_][\w.%<>]*"
_PARAM = re.compile(rf"({_IDENT}):((?:{_IDENT}\.\d+\?)?(?:#|{_TYPE}))")
_RESULT = re.compile(_TYPE)
_FLAG_WORDS = ("flags", "flags2")

# Normalisation steps of combinator_id.
_LEADING_ID = re.compile(r"^([^\s#]+)#[0-9a-fA-F]*")
_TRUE_FLAG = re.compile(rf"(?<!\S){_IDENT}:{_IDENT}\.\d+\?true(?!\S)")
_BYTES_TYPE = re.compile(r"(?<=[:?])bytes(?![\w.])")


def combinator_id(text: str) -> int:
    """The unsigned 32-bit id that TL derives from a combinator's text."""
    text = _LEADING_ID.sub(r"\1", text.strip().rstrip(";").strip())
    text = text.replace("{", "").replace("}", "")
    text = _TRUE_FLAG.sub(" ", text)
    text = _BYTES_TYPE.sub("string", text)
    text = text.replace("<", " ").replace(">", "").replace("=", " = ")
    return zlib.crc32(" ".join(text.split()).encode()) & 0xFFFFFFFF


def _balanced(type_text: str) -> bool:
    depth = 0
    for char in type_text:
        depth += {"<": 1, ">": -1}.get(char, 0)
        if depth < 0:
            return False
    return depth == 0 and "<>" not in type_text


def _combinator(text: str, lineno: int, is_method: bool):
    """The JSON entry for one combinator, or None for a built-in one."""

    def fail(problem: str):
        return ValueError(f"line {lineno}: {problem} in combinator: {text}")

    left, eq, right = text.partition("=")
    if not eq:
        raise fail("expected '='")
    if "=" in right:
        raise fail("more than one '='")
    generics = " ".join(_GENERIC_BLOCK.findall(left)).split()
    body = _GENERIC_BLOCK.sub(" ", left)
    if "{" in body or "}" in body:
        raise fail("unbalanced braces")
    tokens = body.split()
    if not tokens:
        raise fail("missing name")
    name_match = _NAME.fullmatch(tokens[0])
    if not name_match:
        raise fail(f"bad name '{tokens[0]}'")
    name, explicit = name_match.groups()
    args = tokens[1:]
    if name in ("vector", "int128", "int256") or args[:1] == ["?"]:
        return None
    for decl in generics:
        if not _GENERIC_DECL.fullmatch(decl):
            raise fail(f"bad generic declaration '{decl}'")
    params = []
    flag_words = set()  # the flags words declared so far
    hash_fields = set()  # every '#' field declared so far: the words of standard mode
    unknown_words = []  # (field, word, standard mode packs it) of conditional fields
    for arg in args:
        param = _PARAM.fullmatch(arg)
        if not param or not _balanced(param.group(2)):
            raise fail(f"bad parameter '{arg}'")
        field, type_text = param.groups()
        params.append({"name": field, "type": type_text})
        word, dot, _ = type_text.partition(".")
        if type_text == "#":
            hash_fields.add(field)
            if field in _FLAG_WORDS:
                flag_words.add(field)
        elif dot and "?" in type_text and word not in flag_words:
            unknown_words.append((field, word, word in hash_fields))
    result = right.split()
    if len(result) != 1 or not _RESULT.fullmatch(result[0]) or not _balanced(result[0]):
        raise fail(f"bad result type '{right.strip()}'")

    ident = combinator_id(text)
    if explicit is not None and int(explicit, 16) != ident:
        warnings.warn(
            f"line {lineno}: {name} is given id #{int(explicit, 16):08x} "
            f"but its text hashes to #{ident:08x}",
            TLSchemaWarning,
            stacklevel=3,
        )
        ident = int(explicit, 16)
    for field, word, standard_packs in unknown_words:
        where = "not a '#' field declared before it" if word in _FLAG_WORDS else "not 'flags' or 'flags2'"
        outcome = ("only TLParser(..., standard=True) can pack it" if standard_packs
                   else "the codec cannot pack it (standard=True refuses the schema)")
        warnings.warn(
            f"line {lineno}: {name}: field '{field}' depends on flags word '{word}', which is "
            f"{where}; {outcome}",
            TLSchemaWarning,
            stacklevel=3,
        )
    signed = ident - (1 << 32) if ident >= 1 << 31 else ident
    return {
        "id": str(signed),
        "method" if is_method else "predicate": name,
        "params": params,
        "type": result[0],
    }


def from_tl(text: str) -> dict:
    """Convert TL schema text into the JSON-shaped schema dict.

    See the module docstring for the accepted language, the built-in lines
    that are skipped and the way missing ids are computed.
    """
    constructors, methods = [], []
    target = constructors
    pending, start = [], 0
    for lineno, line in enumerate(text.splitlines(), 1):
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
                entry = _combinator(" ".join(pending), start, target is methods)
                if entry is not None:
                    target.append(entry)
                pending = []
            line = line.strip()
    if pending:
        combinator = " ".join(pending)
        raise ValueError(f"line {start}: missing ';' at the end of the combinator: {combinator}")
    return {"constructors": constructors, "methods": methods}
