"""Command-line front end: ``velta {decode,encode,dump,schema,types,demo}``,
also run as ``python -m Velta``.

Exit status: 0 on success, 1 for bad input or data (one ``velta: error:``
line on stderr), 2 for usage errors reported by argparse.
"""

import argparse
import base64
import binascii
import json
import os
import sys
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Any, Literal

from Velta import __version__
from Velta.tl import TLParser

PROG = "velta"
Schema = dict[str, Any]


class CLIError(Exception):
    """A failure caused by the user's input; reported as one line, status 1."""


def _one_line(text: object) -> str:
    return " ".join(str(text).split())


def _failure(exc: BaseException) -> str:
    """An exception as one line, with the notes that say where it happened."""
    notes = "; ".join(getattr(exc, "__notes__", ()))
    return _one_line(f"{exc} ({notes})" if notes else exc)


def _json_loads(text: str | bytes, what: str) -> Any:
    """json.loads, with every way it can fail on hostile text as a CLIError:
    malformed JSON, integers beyond int()'s digit limit, deep nesting."""
    try:
        return json.loads(text)
    except RecursionError:
        raise CLIError(f"{what} is nested too deeply") from None
    except ValueError as exc:  # JSONDecodeError, UnicodeDecodeError, the int digit limit
        raise CLIError(f"{what} is not valid JSON: {_one_line(exc)}") from None


def _unencodable(exc: UnicodeEncodeError) -> CLIError:
    char = exc.object[exc.start:exc.end]
    return CLIError(f"stdout ({exc.encoding}) cannot encode {char!r}; set PYTHONIOENCODING=utf-8")


def _write_text(text: str) -> None:
    """Write text to stdout whole, or fail with a CLIError, writing nothing,
    when stdout's encoding cannot represent it."""
    try:
        text.encode(sys.stdout.encoding or "utf-8", sys.stdout.errors or "strict")
    except UnicodeEncodeError as exc:
        raise _unencodable(exc) from None
    except LookupError:  # an encoding or error handler that only the stream knows
        pass
    sys.stdout.write(text)


def _read(path: str | None, what: str) -> bytes:
    try:
        if path is None or path == "-":
            return sys.stdin.buffer.read()
        return Path(path).read_bytes()
    except OSError as exc:
        raise CLIError(f"cannot read {what} {path}: {exc.strerror}") from None


def load_schema(path: str, dialect: Literal["telegram", "ton"] = "telegram") -> Schema:
    """A schema file as the dict TLParser takes: JSON, or TL text (``.tl``
    extension, or any file that does not parse as JSON) of the given dialect."""
    try:
        text = _read(path, "schema").decode("utf-8")
    except UnicodeDecodeError as exc:
        raise CLIError(f"schema {path} is not UTF-8 text: {exc}") from None
    json_error = None
    if not path.endswith(".tl"):
        try:
            schema: Schema = json.loads(text)
        except RecursionError:
            raise CLIError(f"schema {path} is nested too deeply") from None
        except ValueError as exc:  # JSONDecodeError, or an integer beyond int()'s digit limit
            json_error = _one_line(exc)
        else:
            if not isinstance(schema, dict):
                raise CLIError(f"schema {path}: expected a JSON object")
            return schema
    try:
        from Velta.schema import from_tl
    except ImportError:
        raise CLIError(f"schema {path} is not JSON ({json_error}); TL text needs Velta.schema") from None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            schema = from_tl(text, dialect=dialect)
        except ValueError as exc:
            what = f"neither JSON ({json_error}) nor" if json_error else "not"
            raise CLIError(f"schema {path} is {what} valid TL text: {_one_line(exc)}") from None
    for warning in caught:
        print(f"{PROG}: warning: {path}: {_one_line(warning.message)}", file=sys.stderr)
    return schema


def _entries(schema: Schema) -> list[Schema]:
    return [e for e in [*(schema.get("constructors") or []), *(schema.get("methods") or [])]
            if isinstance(e, dict)]


def _entry_name(entry: Schema) -> str:
    # Same fallback as the compiler: "predicate", then "method", then "type".
    return str(entry.get("predicate", entry.get("method", entry.get("type", ""))))


def _entry_id(entry: Schema) -> int:
    return int(entry.get("id", 0)) & 0xFFFFFFFF


def _parser(schema: Schema, path: str, standard: bool = False, strict: bool = False,
            wide_ints: str = "int") -> TLParser:
    # strict is passed only when asked for, so that a Velta.tl without
    # strict packing serves every other use.
    options: dict[str, Any] = {"strict": True} if strict else {}
    if wide_ints != "int":
        if not standard:
            raise CLIError("--wide-ints bytes needs the standard conventions (leave out --designed)")
        options["wide_ints"] = wide_ints
    if strict:
        try:
            TLParser({"constructors": [], "methods": []}, **options)
        except TypeError:
            raise CLIError("--strict needs a Velta.tl with strict packing (TLParser(..., strict=True))") from None
    try:
        return TLParser(schema, standard=standard, **options)
    except Exception as exc:  # the compiler reports schema faults with many types
        raise CLIError(f"bad schema {path}: {type(exc).__name__}: {_one_line(exc)}") from None


class BytesFields:
    """Puts back the byte strings that JSON carries as hex or base64 text,
    walking the value along the schema's parameter types.  Everything else
    in decode's output (unsigned ints included) packs as it is.

    In the standard mode a bare value may leave out its "_": the type text
    (``%Peer``, ``peerUser``) names its constructor, and ``vector<T>`` is a
    list too."""

    def __init__(self, schema: Schema, codec: str, standard: bool = False):
        # By name, as pack looks entries up: a later entry with the same name
        # wins, and one whose id alone a later entry took still packs (so this
        # is not Velta.schema.effective_entries, which is what round-trips).
        self.params = {_entry_name(e): [(p["name"], p["type"]) for p in e.get("params") or []]
                       for e in _entries(schema)}
        self.decode = bytes.fromhex if codec == "hex" else (lambda s: base64.b64decode(s, validate=True))
        self.standard = standard
        self.bare: dict[str, str] = {}  # a bare type text -> its constructor's name
        if standard:
            constructors = {_entry_name(e): e for e in schema.get("constructors") or [] if isinstance(e, dict)}
            by_type: dict[str, list[str]] = {}
            for name, entry in constructors.items():
                by_type.setdefault(str(entry.get("type")), []).append(name)
                if "a" <= name.rsplit(".", 1)[-1][:1] <= "z":
                    self.bare[name] = name
            self.bare.update({"%" + t: names[0] for t, names in by_type.items() if len(names) == 1})

    def obj(self, value: Any, bare: str | None = None) -> Any:
        name = value.get("_") if isinstance(value, dict) else None
        if name is None and bare is not None:
            name = bare
        if not isinstance(name, str) or name not in self.params:
            return value  # the codec reports what is wrong with it
        out = dict(value)
        for field, type_text in self.params[name]:
            if out.get(field) is not None:
                out[field] = self.field(out[field], type_text, f"{name}.{field}")
        return out

    def field(self, value: Any, type_text: str, where: str) -> Any:
        kind = type_text.split("?")[1] if "?" in type_text else type_text
        if isinstance(value, dict):
            return self.obj(value, self.bare.get(kind))
        vector = ("Vector", "vector<", "%Vector<") if self.standard else ("Vector",)
        if isinstance(value, list) and kind.startswith(vector):
            inner = kind[kind.index("<") + 1:-1] if "<" in kind and kind.endswith(">") else ""
            return [self.field(item, inner, where) for item in value]
        # In the standard mode int128/int256 also take their bytes (what
        # decode --wide-ints bytes prints).
        wide = ("int128", "int256") if self.standard else ()
        if (kind in ("bytes", "byte") or kind.lstrip("%") in wide) and isinstance(value, str):
            try:
                return self.decode("".join(value.split()))
            except (ValueError, binascii.Error):
                raise CLIError(f"{where}: not a valid byte string: {value[:40]!r}") from None
        return value


def _read_message_bytes(args: argparse.Namespace) -> bytes:
    data = _read(args.input, "input")
    if args.hex:
        try:
            data = bytes.fromhex("".join(data.decode("ascii").split()))
        except ValueError:
            raise CLIError("input is not hex text") from None
    return data


def _json_text(value: Any, args: argparse.Namespace, compact: bool) -> str:
    as_text = bytes.hex if args.bytes == "hex" else (lambda b: base64.b64encode(b).decode("ascii"))

    def default(obj: object) -> str:
        if isinstance(obj, bytes):
            return as_text(obj)
        raise TypeError(f"{type(obj).__name__} is not JSON serializable")

    indent, separators = (None, (",", ":")) if compact else (2, None)
    try:
        return json.dumps(value, ensure_ascii=False, indent=indent, separators=separators, default=default)
    except RecursionError:
        raise CLIError("the decoded message is nested too deeply to print as JSON") from None


def _unpack_at(parser: TLParser, data: bytes, offset: int, where: str) -> tuple[Any, int]:
    try:
        value, end = parser.unpack_from(data, offset)
    except Exception as exc:
        raise CLIError(f"cannot decode input: {where}{_failure(exc)}") from None
    return value, end


def cmd_decode(args: argparse.Namespace) -> int:
    schema = load_schema(args.schema, args.dialect)
    parser = _parser(schema, args.schema, args.standard, wide_ints=args.wide_ints)
    data = _read_message_bytes(args)
    omit = AbsentFields(schema, args.standard) if args.omit_absent else None
    if args.stream:
        # JSON Lines, each written as soon as it is read, so that a fault
        # late in a long capture keeps what came before it.
        offset, count = 0, 0
        while offset < len(data):
            count += 1
            value, offset = _unpack_at(parser, data, offset, f"message {count} at byte {offset}: ")
            _write_text(_json_text(omit.strip(value) if omit else value, args, True) + "\n")
        return 0
    value, end = _unpack_at(parser, data, 0, "")
    if end < len(data):
        raise CLIError(f"{len(data) - end} bytes after the message, which ends at byte {end} "
                       "(--stream reads concatenated messages)")
    _write_text(_json_text(omit.strip(value) if omit else value, args, args.compact) + "\n")
    return 0


class AbsentFields:
    """Takes out of decoded values the fields that say only "not there":
    absent conditional fields (None) and clear bits (False of a field that
    is only its flag bit)."""

    def __init__(self, schema: Schema, standard: bool):
        from Velta.dump import Layout  # which fields are only a bit depends on the mode
        self.fields = {name: {f.name: (f.optional, f.bit_only) for f in constr.fields}
                       for name, (_, constr) in Layout(schema, standard).by_name.items()}

    def strip(self, value: Any) -> Any:
        if isinstance(value, list):
            return [self.strip(item) for item in value]
        if not isinstance(value, dict):
            return value
        fields = self.fields.get(str(value.get("_")), {})
        out = {}
        for key, item in value.items():
            conditional, bit_only = fields.get(key, (False, False))
            if (conditional and item is None) or (bit_only and item is False):
                continue
            out[key] = self.strip(item)
        return out


def _input_values(args: argparse.Namespace) -> list[tuple[str, Any]]:
    """The JSON values to encode, each with what to call it in an error:
    the whole input, or with --stream each line that is not blank."""
    text = _read(args.input, "input")
    if not args.stream:
        return [("input", _json_loads(text, "input"))]
    return [(f"line {n}", _json_loads(line, f"line {n}"))
            for n, line in enumerate(text.splitlines(), 1) if line.strip()]


def cmd_encode(args: argparse.Namespace) -> int:
    schema = load_schema(args.schema, args.dialect)
    parser = _parser(schema, args.schema, args.standard, strict=args.strict, wide_ints=args.wide_ints)
    fields = BytesFields(schema, args.bytes, args.standard)
    messages = []
    for what, value in _input_values(args):
        where = f"{what}: " if args.stream else ""
        if not isinstance(value, dict):
            raise CLIError(f'{where}input must be a JSON object with a "_" key')
        try:
            data = parser.pack(fields.obj(value))
        except CLIError as exc:
            raise CLIError(f"{where}{exc}") from None
        except Exception as exc:
            raise CLIError(f"cannot encode input: {where}{_failure(exc)}") from None
        # With --hex, one line per message: decode --hex --stream reads them back.
        messages.append((data.hex() + "\n").encode("ascii") if args.hex else data)
    output = b"".join(messages)
    if args.output:
        try:
            Path(args.output).write_bytes(output)
        except OSError as exc:
            raise CLIError(f"cannot write {args.output}: {exc.strerror}") from None
    else:
        sys.stdout.buffer.write(output)
    return 0


def cmd_dump(args: argparse.Namespace) -> int:
    from Velta.dump import Layout, render, walk
    schema = load_schema(args.schema, args.dialect)
    parser = _parser(schema, args.schema, args.standard)
    data = _read_message_bytes(args)
    codec_error: Exception | None = None
    try:
        value, end = parser.unpack_from(data)
    except Exception as exc:
        codec_error = exc
    try:
        dump = walk(Layout(schema, args.standard), data)
    except RecursionError:
        raise CLIError("the message is nested too deeply to dump") from None
    message = f"{type(codec_error).__name__}: {_failure(codec_error)}" if codec_error else None
    _write_text("".join(line + "\n" for line in render(dump, data, message)))
    if dump.failure is not None:
        raise CLIError(f"cannot decode input at byte {dump.failure.item.offset}: "
                       f"{_failure(codec_error) if codec_error else dump.failure.message}")
    if codec_error is not None:
        if isinstance(codec_error, UnicodeDecodeError):  # shown as bytes above
            print(f"{PROG}: note: decode refuses these bytes ({_failure(codec_error)}); "
                  "the string that is not UTF-8 is shown as hex", file=sys.stderr)
            return 0
        raise CLIError(f"this listing disagrees with the codec, which says: {_failure(codec_error)}")
    if (dump.value, dump.end) != (value, end):
        raise CLIError("this listing disagrees with the codec's reading of the same bytes")
    if dump.end < len(data):
        raise CLIError(f"{len(data) - dump.end} bytes after the message, which ends at byte {dump.end}")
    return 0


def _matches(word: str, name: str, params: str) -> bool:
    """Whether word occurs, ignoring case, in the entry's name or in one of its
    parameters' names or types (``name:type``)."""
    word = word.casefold()
    return word in name.casefold() or any(word in param.casefold() for param in params.split())


def cmd_schema(args: argparse.Namespace) -> int:
    schema = load_schema(args.schema, args.dialect)
    _parser(schema, args.schema)  # the same checks the codec makes
    lines = []
    for kind, key in (("constructor", "constructors"), ("method", "methods")):
        for entry in schema.get(key) or []:
            if args.id is not None and _entry_id(entry) != args.id:
                continue
            if args.name is not None and _entry_name(entry) != args.name:
                continue
            params = " ".join(f"{p['name']}:{p['type']}" for p in entry.get("params") or [])
            if args.search is not None and not _matches(args.search, _entry_name(entry), params):
                continue
            result = entry.get("type") or _entry_name(entry)
            lines.append(f"0x{_entry_id(entry):08x} {kind:<11} {_entry_name(entry)} "
                         f"{params + ' ' if params else ''}= {result}")
    if not lines and (args.id is not None or args.name is not None or args.search is not None):
        what = (f"id 0x{args.id:08x}" if args.id is not None else f"name {args.name!r}" if args.name is not None
                else f"a name or parameter matching {args.search!r}")
        raise CLIError(f"no constructor or method with {what} in {args.schema}")
    _write_text("\n".join(lines) + "\n")
    return 0


def cmd_types(args: argparse.Namespace) -> int:
    from Velta.typegen import typed_module
    schema = load_schema(args.schema, args.dialect)
    if args.wide_ints != "int" and not args.standard:
        raise CLIError("--wide-ints bytes needs --standard")
    # The same checks the codec makes in that mode.
    _parser(schema, args.schema, args.standard, wide_ints=args.wide_ints)
    text = typed_module(schema, source=Path(args.schema).name, standard=args.standard, wide_ints=args.wide_ints)
    if args.output:
        try:
            Path(args.output).write_text(text, encoding="utf-8")
        except OSError as exc:
            raise CLIError(f"cannot write {args.output}: {exc.strerror}") from None
    else:
        _write_text(text)
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    from Velta.demo import example_schema_path, main as demo_main
    if args.schema_path:
        _write_text(example_schema_path() + "\n")
        return 0
    try:
        return demo_main()
    except UnicodeEncodeError as exc:
        raise _unencodable(exc) from None


def _id(text: str) -> int:
    try:
        return int(text, 0) & 0xFFFFFFFF
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an id: {text!r} (use 0x8f97c628 or decimal)") from None


MODE_HELP = """\
Conventions: the standard TL ones by default (boxed Bool, signed int and
long, int128/int256, bare types, any "#" field a flags word, gzip_packed
inflated), since bytes from the wire follow them. --designed selects the
conventions TLParser uses by default (32-bit Bool, unsigned int and long,
flags words named flags/flags2), for bytes that TLParser(schema) packed.
--standard names the default and is kept for older scripts."""

EXAMPLES = {
    "decode": """\
examples:
  velta decode --schema chat.json message.bin
  velta decode --schema api.tl --hex --omit-absent capture.hex
  velta decode --schema api.tl --stream capture.bin > messages.jsonl
  velta decode --schema chat.json --designed message.bin   # bytes from TLParser(schema)""",
    "encode": """\
examples:
  velta encode --schema chat.json message.json -o message.bin
  echo '{"_": "peerUser", "user_id": -5}' | velta encode --schema chat.json --hex
  velta encode --schema api.tl --stream messages.jsonl -o capture.bin
  velta encode --schema api.tl --strict request.json      # refuse unknown keys""",
    "dump": """\
examples:
  velta dump --schema chat.json message.bin
  echo 59b1ac7a 15cd5b07 00000000 | velta dump --schema chat.json --hex

Each line: offset, the bytes (hex), the field path, the TL type and the value.
An offset marked "!" is where the bytes stop decoding; "+" offsets count from
the start of inflated gzip_packed content.""",
    "schema": """\
examples:
  velta schema --schema chat.json
  velta schema --schema api.tl --name messages.sendMessage
  velta schema --schema api.tl --id 0x8f97c628
  velta schema --schema api.tl --search photo""",
    "types": """\
examples:
  velta types --schema api.tl -o api_types.py
  velta types --schema api.tl --standard -o api_types.py""",
    "demo": """\
examples:
  velta demo
  velta decode --schema "$(velta demo --schema-path)" --designed message.bin""",
}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Schema-driven TL binary serialization.",
        epilog="The bundled example schema, to try the commands on: velta demo --schema-path")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str, func: Callable[[argparse.Namespace], int]) -> argparse.ArgumentParser:
        on_wire = func in (cmd_decode, cmd_encode, cmd_dump)
        sub = commands.add_parser(name, help=help, description=help + ("\n\n" + MODE_HELP if on_wire else ""),
                                  epilog=EXAMPLES[name], formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(func=func)
        if func is not cmd_demo:
            sub.add_argument("--schema", required=True, metavar="FILE", help="JSON schema or .tl schema text")
            sub.add_argument("--dialect", choices=("telegram", "ton"), default="telegram",
                             help="the TL dialect of .tl schema text: its ids and scalars (default: telegram)")
        if func in (cmd_decode, cmd_encode):
            sub.add_argument("--bytes", choices=("hex", "base64"), default="hex",
                             help="text form of bytes fields (default: hex)")
        if func in (cmd_decode, cmd_encode, cmd_types):
            sub.add_argument("--wide-ints", choices=("int", "bytes"), default="int",
                             help="int128/int256 values as ints or as their wire bytes, in the --bytes "
                                  "text form (standard conventions only; default: int)")
        if on_wire:
            mode = sub.add_mutually_exclusive_group()
            mode.add_argument("--designed", dest="standard", action="store_false", default=True,
                              help="the conventions of TLParser(schema), for bytes it packed")
            mode.add_argument("--standard", dest="standard", action="store_true", default=True,
                              help="the standard TL conventions (the default; accepted for older scripts)")
        return sub

    sub = command("decode", "Decode TL bytes into JSON.", cmd_decode)
    sub.add_argument("--hex", action="store_true", help="the input is hex text (whitespace allowed)")
    sub.add_argument("--compact", action="store_true", help="print the JSON on one line")
    sub.add_argument("--stream", action="store_true",
                     help="the input is messages one after another: print each as one line of JSON "
                          "(JSON Lines); without it, bytes after the one message are an error")
    sub.add_argument("--omit-absent", action="store_true",
                     help="leave out conditional fields that are absent (null) and flag bits that are clear (false)")
    sub.add_argument("input", nargs="?", metavar="INPUT", help="input file (default or '-': stdin)")

    sub = command("encode", "Encode a JSON value into TL bytes.", cmd_encode)
    sub.add_argument("--hex", action="store_true", help="write hex text instead of raw bytes (a line per message)")
    sub.add_argument("--stream", action="store_true",
                     help="the input is JSON Lines, one message a line: write the messages one after another")
    sub.add_argument("--strict", action="store_true",
                     help="refuse keys that are no field, missing fields and bits given anything but true, "
                          "false or null (TLParser(..., strict=True))")
    sub.add_argument("--output", "-o", metavar="FILE", help="output file (default: stdout)")
    sub.add_argument("input", nargs="?", metavar="INPUT", help="JSON file (default or '-': stdin)")

    sub = command("dump", "Show the bytes of one message beside what they mean, one line per item.", cmd_dump)
    sub.add_argument("--hex", action="store_true", help="the input is hex text (whitespace allowed)")
    sub.add_argument("input", nargs="?", metavar="INPUT", help="input file (default or '-': stdin)")

    sub = command("schema", "List the constructors and methods of a schema.", cmd_schema)
    pick = sub.add_mutually_exclusive_group()
    pick.add_argument("--id", type=_id, help="show only this id (0x… or decimal)")
    pick.add_argument("--name", help="show only this constructor or method")
    pick.add_argument("--search", metavar="WORD",
                      help="show the entries whose name or parameters contain WORD (any case)")

    sub = command("types", "Write a Python module of TypedDicts for the schema's values.", cmd_types)
    sub.add_argument("--output", "-o", metavar="FILE", help="output file (default: stdout)")
    sub.add_argument("--standard", action="store_true",
                     help="type the values of the codec's standard mode (int128/int256 as int, "
                          "flags.N?Bool as bool or None)")

    sub = command("demo", "Pack and unpack the bundled chat example.", cmd_demo)
    sub.add_argument("--schema-path", action="store_true",
                     help="print where the bundled example schema (examples/chat.json) is, and nothing else")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.func(args)
        sys.stdout.flush()  # inside the try, so a closed pipe is handled below
        return status
    except CLIError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (``| head``); don't complain when stdout closes.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
