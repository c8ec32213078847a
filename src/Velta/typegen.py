"""Python type declarations for the values of a schema: ``velta types``.

``typed_module(schema)`` returns the text of a Python module that declares,
for a schema in the form ``TLParser`` takes:

* one ``TypedDict`` per constructor, named by its TL name in CamelCase with
  the namespace joined in (``peerUser`` -> ``PeerUser``,
  ``storage.fileJpeg`` -> ``StorageFileJpeg``), and one per method, with the
  suffix ``Request`` (``messages.sendMessage`` ->
  ``MessagesSendMessageRequest``). Its ``"_"`` key is the ``Literal`` name;
* one alias per TL type that has constructors, prefixed ``Type``
  (``TypePeer = PeerUser | PeerChat | PeerChannel``), used for the fields of
  that type.

Fields are typed as ``unpack`` gives them: ``int``/``#``/``long`` as int,
``double`` as float, ``string`` as str, ``bytes`` as bytes, ``Bool`` and
``true`` as bool, ``Vector<T>`` as ``list[T]``. A conditional field is
``NotRequired[T | None]``; a ``flags.N?true`` field is ``NotRequired[bool]``,
and so is ``flags.N?Bool``, which carries only its bit. The flags words
(the fields named ``flags`` and ``flags2``, whatever their type) never appear
in values and have no key.
A field whose type has no constructors in the schema -- a generic
``!X``/``X``, ``Object``, or ``int128``/``int256`` -- holds any object and is
``Mapping[str, Any]``, which every generated ``TypedDict`` fits. The bare
types ``%Peer`` and ``peerUser`` (a constructor name used as a type) have
the shapes of ``Peer`` and of the constructor.

``standard=True`` types the values of the codec's standard mode instead,
where they differ: ``int128``/``int256`` are int (bytes with
``wide_ints="bytes"``, as the parser option gives them), ``flags.N?Bool`` is
``NotRequired[bool | None]``, and the bare ``vector<T>`` is ``list[T]`` (the
default mode reads it as a boxed object, so it is ``Mapping[str, Any]``);
every unconditional ``#`` field is a flags word there that is a value too
(unpack gives it, pack takes it), so it is ``NotRequired[int]``.

Names. Characters that cannot appear in a Python name become ``_``; a name
that would be a Python keyword (``true`` -> ``True``) gets a trailing ``_``.
When two declarations would get the same name, names are handed out in this
order -- type aliases in the order their types first appear, then
constructors, then methods, each in schema order -- and a name already taken
gets the first free suffix ``_2``, ``_3``, ... . A name that begins and ends
with ``__`` counts as taken (``__name__`` -> ``__name___2``): Python gives
such module globals meanings of its own. The entries are those that
``Velta.schema.effective_entries`` lists: a later entry with the same name or
id replaces an earlier one.

Text from the schema (names, the comment line of each entry) and the
``source`` name are written as ASCII string literals or comments with every
other character escaped, so no name can break the module.

The module imports only ``typing`` (as ``_t``), needs Python 3.11, and
passes ``mypy --strict``.
"""

import keyword
import re
from typing import Any

from Velta.schema import effective_entries

__all__ = ["typed_module"]

_SCALARS = {"int": "int", "#": "int", "long": "int", "double": "float", "string": "str",
            "bytes": "bytes", "Bool": "bool", "true": "bool"}
_WIDE_INTS = ("int128", "int256")
_FLAG_WORDS = ("flags", "flags2")
ANY_OBJECT = "_t.Mapping[str, _t.Any]"
_NOT_NAME_CHAR = re.compile(r"\W", re.ASCII)


def _camel(name: str) -> str:
    """``messages.sendMessage`` -> ``MessagesSendMessage``."""
    text = "".join(part[:1].upper() + part[1:] for part in name.split("."))
    text = _NOT_NAME_CHAR.sub("_", text) or "_"
    return "_" + text if text[0].isdigit() else text


def _entry_name(entry: dict[str, Any]) -> str:
    # The compiler's fallback: "predicate", then "method", then "type".
    return str(entry.get("predicate", entry.get("method", entry.get("type", ""))))


def _is_dunder(name: str) -> bool:
    return name.startswith("__") and name.endswith("__")


class _Names:
    """Hands out distinct Python names, first come first served."""

    def __init__(self) -> None:
        self.taken = {"_t"}

    def claim(self, wanted: str) -> str:
        if keyword.iskeyword(wanted):
            wanted += "_"
        name, n = wanted, 1
        # Python gives names like __name__ and __annotations__ meanings of its
        # own (a module with such a global may not import, and mypy refuses
        # it), so they count as taken.
        while name in self.taken or _is_dunder(name):
            n += 1
            name = f"{wanted}_{n}"
        self.taken.add(name)
        return name


class _Generator:
    def __init__(self, schema: dict[str, Any], standard: bool, wide_ints: str = "int"):
        self.standard = standard
        self.wide = "bytes" if wide_ints == "bytes" else "int"
        self.entries = effective_entries(schema)
        names = _Names()
        self.members: dict[str, list[str]] = {}  # TL type -> TL names of its constructors
        for is_method, entry in self.entries:
            result = entry.get("type")
            if not is_method and isinstance(result, str) and re.fullmatch(r"[\w.]+", result):
                self.members.setdefault(result, []).append(_entry_name(entry))
        self.alias = {t: names.claim("Type" + _camel(t)) for t in self.members}
        self.typeddict = {}
        for wanted_methods in (False, True):
            for is_method, entry in self.entries:
                if is_method == wanted_methods:
                    name = _entry_name(entry)
                    self.typeddict[name] = names.claim(_camel(name) + ("Request" if is_method else ""))
        self.constructors = {_entry_name(e) for m, e in self.entries if not m}

    def value_type(self, type_text: str) -> tuple[str, bool]:
        """The annotation for an unconditional value of type_text, and whether
        it names declarations of the module (then it must be quoted)."""
        if type_text.startswith("!"):
            return ANY_OBJECT, False
        type_text = type_text.lstrip("%")
        if type_text in _SCALARS:
            return _SCALARS[type_text], False
        if type_text in _WIDE_INTS and self.standard:
            return self.wide, False
        # The default mode reads the bare vector<T> as a boxed object, of no known type.
        for prefix in ("Vector<", "vector<") if self.standard else ("Vector<",):
            if type_text.startswith(prefix) and type_text.endswith(">"):
                inner, named = self.value_type(type_text[len(prefix):-1])
                return f"list[{inner}]", named
        if type_text in self.alias:
            return self.alias[type_text], True
        if type_text in self.constructors:  # a bare constructor as the type
            return self.typeddict[type_text], True
        return ANY_OBJECT, False

    def field_type(self, type_text: str) -> str:
        condition, question, kind = type_text.partition("?")
        if not question:
            text, named = self.value_type(type_text)
            return _literal(text) if named else text
        if kind == "true" or (kind == "Bool" and not self.standard):
            return "_t.NotRequired[bool]"
        text, named = self.value_type(kind)
        text += " | None"
        return f"_t.NotRequired[{_literal(text) if named else text}]"

    def typed_dict(self, is_method: bool, entry: dict[str, Any]) -> list[str]:
        name = _entry_name(entry)
        fields: dict[str, str] = {}
        for param in entry.get("params") or []:
            field, type_text = str(param["name"]), str(param["type"])
            # Flags words: in the default mode the fields named "flags" and
            # "flags2", whatever their type (flags2:flags.0?# too), which have
            # no key; in the standard mode every unconditional "#" field, which
            # is a value too and may be left out (it packs as 0).
            if field == "_" or (not self.standard and field in _FLAG_WORDS):
                continue
            if self.standard and type_text == "#":
                fields[field] = "_t.NotRequired[int]"
                continue
            fields[field] = self.field_type(type_text)
        params = " ".join(f"{p['name']}:{p['type']}" for p in entry.get("params") or [])
        ident = int(entry.get("id", 0)) & 0xFFFFFFFF
        line = f"{name}#{ident:08x} {params + ' ' if params else ''}= {entry.get('type', '')}"
        td = self.typeddict[name]
        lines = [f"# {_comment(line)}", f"{td} = _t.TypedDict(\"{td}\", {{",
                 f"    \"_\": _t.Literal[{_literal(name)}],"]
        lines += [f"    {_literal(field)}: {annotation}," for field, annotation in fields.items()]
        lines.append("})")
        return lines

    def module(self, source: str) -> str:
        options = "standard=True" + (', wide_ints="bytes"' if self.wide == "bytes" else "")
        mode = f"standard mode (TLParser(schema, {options}))" if self.standard else "default mode"
        out = [
            f'"""TypedDicts for the values of the TL schema {_literal(_one_line(source))[1:-1]}, as Velta\'s',
            f"{mode} packs and unpacks them.",
            "",
            "Generated by `velta types`; do not edit.",
            '"""',
            "",
            "import typing as _t",
            "",
        ]
        for wanted_methods, title in ((False, "Constructors"), (True, "Methods")):
            out += ["", f"# {title}", ""]
            for is_method, entry in self.entries:
                if is_method == wanted_methods:
                    out += [*self.typed_dict(is_method, entry), ""]
        out += ["", "# Types: the constructors a field of each TL type may hold", ""]
        for tl_type, members in self.members.items():
            union = " | ".join(self.typeddict[m] for m in members)
            out.append(f"{self.alias[tl_type]}: _t.TypeAlias = {union}")
        return "\n".join(out) + "\n"


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _escape(char: str) -> str:
    """char as a Python string literal writes it: printable ASCII as itself,
    anything else (NUL, line breaks, non-ASCII) as an escape."""
    if " " <= char <= "~":
        return "\\" + char if char in '\\"' else char
    code = ord(char)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def _literal(text: str) -> str:
    """text as a double-quoted Python string literal of ASCII characters, so
    that it stands anywhere in the module: no NUL, no line break, every
    backslash escaped."""
    return '"' + "".join(map(_escape, text)) + '"'


def _comment(text: str) -> str:
    # A comment holds text as it is, but on one line, and without the NULs
    # and line breaks that the module's source may not have.
    return "".join(c if " " <= c <= "~" else _escape(c) for c in _one_line(text))


def typed_module(schema: dict[str, Any], source: str = "schema", standard: bool = False,
                 wide_ints: str = "int") -> str:
    """The text of a Python module of TypedDicts for ``schema`` (a dict as
    ``TLParser`` takes it); ``source`` names the schema in the docstring.
    ``wide_ints`` is the parser's option of that name: with ``"bytes"``
    (standard mode only) int128/int256 are typed as bytes."""
    if wide_ints not in ("int", "bytes"):
        raise ValueError(f"wide_ints must be 'int' or 'bytes', not {wide_ints!r}")
    if wide_ints == "bytes" and not standard:
        raise ValueError("wide_ints='bytes' needs standard=True")
    return _Generator(schema, standard, wide_ints).module(source)

