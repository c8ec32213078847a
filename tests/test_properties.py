"""Property tests: random schemas and values through the codec, with the
pure-Python reference codec as the oracle for the extension."""
import json
import re
import struct

from hypothesis import HealthCheck, given, settings, strategies as st

from Velta import tl

import tl_reference

SETTINGS = settings(max_examples=60, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow])

INT32 = st.integers(-2**31, 2**32 - 1)
# Lengths on both sides of the switch from a one-byte to a four-byte prefix.
LONG_RUN = st.sampled_from([252, 253, 254]).map(lambda n: "x" * n)
# Scalar type texts: the values a field of that type takes, and how reading
# one back changes it (None: unchanged).
SCALARS = {
    "int": (INT32, lambda v: v & 0xFFFFFFFF),
    "#": (INT32, lambda v: v & 0xFFFFFFFF),
    "long": (st.integers(0, 2**64 - 1), None),
    "double": (st.floats(allow_nan=False), None),
    "string": (st.text(max_size=8) | st.builds(str.__add__, LONG_RUN, st.text(max_size=3)), None),
    "bytes": (st.binary(max_size=8) | st.builds(bytes.__add__, LONG_RUN.map(str.encode),
                                                st.binary(max_size=3)), None),
    "byte": (st.binary(max_size=6), None),
    "Bool": (st.booleans(), None),
    "true": (st.booleans(), None),
}
# A value type: a scalar type text, ("vec", element type) or "obj".
VALUE_TYPES = st.recursive(
    st.sampled_from(sorted(SCALARS)) | st.just("obj"),
    lambda inner: st.tuples(st.just("vec"), inner), max_leaves=3)
DEFAULTS = {"int": 0, "#": 0, "long": 0, "double": 0.0, "string": "", "bytes": b"",
            "byte": b"", "Bool": False, "true": False}


def refers_to_object(vt):
    return vt == "obj" or isinstance(vt, tuple) and refers_to_object(vt[1])


def type_text(vt):
    if vt == "obj":
        return "Obj"
    if isinstance(vt, tuple):
        return f"Vector<{type_text(vt[1])}>"
    return vt


@st.composite
def schemas(draw):
    """A schema (JSON text) and its constructors as (name, id, fields), where a
    field is (name, value type, condition or None).  Object fields only refer
    to constructors further down the list, so values are finite."""
    count = draw(st.integers(1, 4))
    ids = draw(st.lists(st.integers(0, 2**32 - 1), min_size=count, max_size=count, unique=True))
    cons, entries = [], {"constructors": [], "methods": []}
    for i, cid in enumerate(ids):
        fields, params = [], []
        bits = {"flags": iter(draw(st.permutations(range(32)))),
                "flags2": iter(draw(st.permutations(range(32))))}
        for k in range(draw(st.integers(1, 7))):
            vt = draw(VALUE_TYPES)
            if refers_to_object(vt) and i == count - 1:
                vt = "int"
            cond = None
            if draw(st.booleans()):
                word = draw(st.sampled_from(["flags", "flags2"]))
                cond = f"{word}.{next(bits[word])}?"
                if draw(st.booleans()):
                    vt = "true"
            fields.append((f"f{k}", vt, cond))
            params.append({"name": f"f{k}", "type": (cond or "") + type_text(vt)})
        for word in ("flags2", "flags"):
            if any(c and c.startswith(word + ".") for _, _, c in fields):
                params.insert(0, {"name": word, "type": "#"})
        written_id = cid - 2**32 if cid >= 2**31 and draw(st.booleans()) else cid
        if draw(st.booleans()):
            entries["constructors"].append({"predicate": f"c{i}", "id": written_id,
                                            "type": "Obj", "params": params})
        else:
            entries["methods"].append({"method": f"c{i}", "id": written_id, "params": params})
        cons.append((f"c{i}", cid, fields))
    return json.dumps(entries), cons


def draw_value(draw, vt, cons, start):
    """A conforming value of type vt and what unpack gives back for it."""
    if vt == "obj":
        return draw_object(draw, cons, draw(st.integers(start, len(cons) - 1)))
    if isinstance(vt, tuple):
        pairs = [draw_value(draw, vt[1], cons, start) for _ in range(draw(st.integers(0, 3)))]
        values = [v for v, _ in pairs]
        return (tuple(values) if draw(st.booleans()) else values), [e for _, e in pairs]
    strategy, norm = SCALARS[vt]
    value = draw(strategy)
    return value, norm(value) if norm else value


def draw_object(draw, cons, index):
    name, _, fields = cons[index]
    value, expected = {"_": name}, {"_": name}
    for fname, vt, cond in fields:
        if cond and vt in ("true", "Bool"):
            v = draw(st.sampled_from([True, False, None, "omit"]))
            expected[fname] = v is True
        elif cond and draw(st.booleans()):
            v = draw(st.sampled_from([None, "omit"]))
            expected[fname] = None
        elif vt != "obj" and not cond and draw(st.integers(0, 5)) == 0:
            v = "omit"
            expected[fname] = [] if isinstance(vt, tuple) else DEFAULTS[vt]
        else:
            v, expected[fname] = draw_value(draw, vt, cons, index + 1)
        if v != "omit":
            value[fname] = v
    if draw(st.booleans()):
        value["flags"] = 12345  # never taken from the value
    return value, expected


@st.composite
def cases(draw):
    text, cons = draw(schemas())
    value, expected = draw_object(draw, cons, draw(st.integers(0, len(cons) - 1)))
    return text, cons, value, expected
def canon(x):
    """A comparable form that keeps dict key order, tells bool from int and
    compares floats by their bits."""
    if isinstance(x, dict):
        return ("dict", tuple((k, canon(v)) for k, v in x.items()))
    if isinstance(x, list):
        return ("list", tuple(canon(v) for v in x))
    if isinstance(x, float):
        return ("float", struct.pack("<d", x))
    return (type(x).__name__, x)


def outcome(fn, arg):
    try:
        return ("ok", canon(fn(arg)))
    except Exception as exc:
        return (type(exc).__name__, str(exc))


@SETTINGS
@given(case=cases())
def test_round_trip(Parser, case):
    text, _, value, expected = case
    parser = Parser(text)
    data = parser.pack(value)
    assert len(data) % 4 == 0
    decoded = parser.unpack(data)
    assert canon(decoded) == canon(expected)
    assert parser.pack(decoded) == data


@SETTINGS
@given(case=cases())
def test_extension_writes_the_reference_bytes(case):
    text, _, value, _ = case
    assert tl.TLParser(text).pack(value) == tl_reference.TLParser(text).pack(value)


# Values that do not fit their field; both codecs must refuse them alike.
WRONG = st.sampled_from([
    None, "7", b"7", bytearray(b"7"), 3.9, -1, 2**31, 2**32, -2**31 - 1, 2**64, float("inf"),
    True, [1], (), [[1]], [None], {"_": "c0"}, {}, {"_": "nope"}, {"_": b"c0"}, "\ud800",
])


@SETTINGS
@given(case=cases(), data=st.data())
def test_wrong_values_fail_alike(case, data):
    text, cons, value, _ = case
    value = dict(value)
    fields = [f for f, _, _ in next(c for c in cons if c[0] == value["_"])[2]]
    if fields:
        value[data.draw(st.sampled_from(fields))] = data.draw(WRONG)
    assert (outcome(tl.TLParser(text).pack, value)
            == outcome(tl_reference.TLParser(text).pack, value))


@st.composite
def messy_bytes(draw, text, cons, value, standard=False):
    """Random input that often gets past the constructor id: noise, a known
    id followed by noise, or a valid message with a few bytes overwritten."""
    kind = draw(st.sampled_from(["noise", "id", "mutated"]))
    if kind == "noise":
        return draw(st.binary(max_size=48))
    if kind == "id":
        cid = draw(st.sampled_from([c[1] for c in cons]))
        return struct.pack("<I", cid) + draw(st.binary(max_size=48))
    data = bytearray(tl_reference.TLParser(text, standard=standard).pack(value))
    for _ in range(draw(st.integers(1, 4))):
        data[draw(st.integers(0, len(data) - 1))] = draw(st.integers(0, 255))
    return bytes(data)


@SETTINGS
@given(case=cases(), data=st.data())
def test_arbitrary_input_decodes_alike(case, data):
    text, cons, value, _ = case
    raw = data.draw(messy_bytes(text, cons, value))
    assert outcome(tl.TLParser(text).unpack, raw) == outcome(tl_reference.TLParser(text).unpack, raw)


# What a cut-off message raises: the first read that finds too few bytes
# ends the run, so nothing is read from the left-over bytes of a cut value.
TRUNCATION_ERRORS = re.compile(r"RuntimeError:Parse error at position \d+")


@settings(SETTINGS, max_examples=40)
@given(case=cases())
def test_every_prefix_decodes_or_reports_a_parse_error(case):
    text, _, value, expected = case
    ours, reference = tl.TLParser(text), tl_reference.TLParser(text)
    data = reference.pack(value)
    assert outcome(ours.unpack, data) == ("ok", canon(expected))
    for cut in range(len(data)):
        got = outcome(ours.unpack, data[:cut])
        assert got == outcome(reference.unpack, data[:cut]), cut
        if got[0] != "ok":
            assert TRUNCATION_ERRORS.fullmatch(f"{got[0]}:{got[1]}"), (cut, got)


# ---------------------------------------------------------------- standard mode
#
# Random schemas with the shapes only the standard mode has: boxed Bool
# (conditional too), int128/int256, signed int/long, bare vectors, bare
# constructors (by %Type and by lowercase name), bare true, and flags words
# of any name, declared anywhere before the fields they govern.

STD_SCALARS = {
    "int": (INT32, lambda v: (v + 2**31) % 2**32 - 2**31),
    "long": (st.integers(-2**63, 2**64 - 1), lambda v: (v + 2**63) % 2**64 - 2**63),
    "int128": (st.integers(-2**127, 2**128 - 1), lambda v: (v + 2**127) % 2**128 - 2**127),
    "int256": (st.integers(-2**255, 2**256 - 1), lambda v: (v + 2**255) % 2**256 - 2**255),
    "double": SCALARS["double"], "string": SCALARS["string"], "bytes": SCALARS["bytes"],
    "byte": SCALARS["byte"], "Bool": (st.booleans(), None),
}
STD_DEFAULTS = {"int": 0, "long": 0, "int128": 0, "int256": 0, "double": 0.0, "string": "",
                "bytes": b"", "byte": b"", "Bool": False}
# A value type: a scalar, "true" (bare, no bytes), "obj" (boxed, any
# constructor further down), "bare" (one constructor further down, bare),
# or ("vec" | "bvec", element type).
STD_VALUE_TYPES = st.recursive(
    st.sampled_from(sorted(STD_SCALARS)) | st.sampled_from(["obj", "bare", "true"]),
    lambda inner: st.tuples(st.sampled_from(["vec", "bvec"]), inner), max_leaves=3)
WORD_NAMES = ["flags", "flags2", "f", "mask"]


@st.composite
def std_schemas(draw):
    """Like schemas(), for the standard mode.  Constructors are drawn last
    first, so a bare reference knows its target; a field is (name, value
    type, condition text or None) or ("#", word name) for a flags word."""
    count = draw(st.integers(1, 4))
    ids = draw(st.lists(st.integers(0, 2**32 - 1), min_size=count, max_size=count, unique=True)
               .filter(lambda xs: 0x3072CFA1 not in xs))
    cons, entries, empty = [None] * count, [None] * count, [False] * count
    bare_targets = set()  # methods are no types: these stay constructors

    def resolve(vt, i, element):
        """vt with its "bare" leaves bound to a constructor after i; elements
        that take no bytes are left out of vectors."""
        if isinstance(vt, tuple):
            return (vt[0], resolve(vt[1], i, True))
        if vt in ("bare", "obj") and i == count - 1 or vt == "true" and element:
            return "int"
        if vt == "bare":
            j = draw(st.integers(i + 1, count - 1))
            if element and empty[j]:
                return "int"
            bare_targets.add(j)
            return ("bare", j, draw(st.sampled_from([f"%T{j}", f"c{j}"])))
        return vt

    for i in reversed(range(count)):
        fields, params, words = [], [], {}
        for k in range(draw(st.integers(1, 7))):
            # A word is a value too, so no other field shares its name (a
            # dict could not hold both: tests/test_standard.py has that case).
            free = set(WORD_NAMES) - {f[0] for f in fields} - set(words)
            if draw(st.integers(0, 3)) == 0 and free:
                name = draw(st.sampled_from(sorted(free)))
                words[name] = iter(draw(st.permutations(range(32))))
                fields.append(("#", name))
                params.append({"name": name, "type": "#"})
                continue
            vt = resolve(draw(STD_VALUE_TYPES), i, False)
            cond = None
            if words and draw(st.booleans()):
                word = draw(st.sampled_from(sorted(words)))
                cond = f"{word}.{next(words[word])}?"
            ordinary_flags = any(f[0] == "flags" for f in fields) or "flags" in words
            name = "flags" if not ordinary_flags and draw(st.integers(0, 9)) == 0 else f"f{k}"
            fields.append((name, vt, cond))
            params.append({"name": name, "type": (cond or "") + std_type_text(vt)})
        empty[i] = all(f[0] != "#" and f[2] is None and (f[1] == "true" or isinstance(f[1], tuple)
                                                          and f[1][0] == "bare" and empty[f[1][1]])
                       for f in fields)
        written_id = ids[i] - 2**32 if ids[i] >= 2**31 and draw(st.booleans()) else ids[i]
        entries[i] = {"predicate": f"c{i}", "id": written_id, "type": f"T{i}", "params": params}
        cons[i] = (f"c{i}", ids[i], fields)
    methods = [e for i, e in enumerate(entries) if i not in bare_targets and draw(st.integers(0, 3)) == 0]
    schema = {"constructors": [e for e in entries if e not in methods],
              "methods": [{"method": e["predicate"], "id": e["id"], "type": e["type"], "params": e["params"]}
                          for e in methods]}
    return json.dumps(schema), cons


def std_type_text(vt):
    if vt == "obj":
        return "Obj"
    if isinstance(vt, tuple) and vt[0] == "bare":
        return vt[2]
    if isinstance(vt, tuple):
        return f"{'Vector' if vt[0] == 'vec' else 'vector'}<{std_type_text(vt[1])}>"
    return vt


def std_value(draw, vt, cons, start):
    if vt == "obj":
        return std_object(draw, cons, draw(st.integers(start, len(cons) - 1)), False)
    if vt == "true":
        return draw(st.sampled_from([True, None, 5])), True
    if isinstance(vt, tuple) and vt[0] == "bare":
        return std_object(draw, cons, vt[1], True)
    if isinstance(vt, tuple):
        pairs = [std_value(draw, vt[1], cons, start) for _ in range(draw(st.integers(0, 3)))]
        values = [v for v, _ in pairs]
        return (tuple(values) if draw(st.booleans()) else values), [e for _, e in pairs]
    strategy, norm = STD_SCALARS[vt]
    value = draw(strategy)
    return value, norm(value) if norm else value


def std_object(draw, cons, index, bare):
    name, _, fields = cons[index]
    expected = {"_": name}
    value = {"_": draw(st.sampled_from([name, None, "omit"]))} if bare else {"_": name}
    if value["_"] == "omit":
        del value["_"]
    # Each '#' field reads back as the bits of its value that no condition
    # uses, and the bits of the conditional fields given.
    words, latest = [], {}  # [name, given bits, bits used, bits set]; name -> its latest
    for field in fields:
        if field[0] == "#":
            given = draw(st.sampled_from([None, "omit", 0, 12345]) | INT32 | st.integers(0, 2**32 - 1))
            if given != "omit":
                value[field[1]] = given
            latest[field[1]] = [field[1], 0 if given in (None, "omit") else given % 2**32, 0, 0]
            words.append(latest[field[1]])
            expected[field[1]] = None  # its place; its value once all is known
            continue
        fname, vt, cond = field
        word = None
        if cond:
            word = latest[cond.split(".")[0]]
            bit = 1 << int(cond.split(".")[1].rstrip("?"))
            word[2] |= bit
        if cond and vt == "true":
            v = draw(st.sampled_from([True, False, None, "omit"]))
            expected[fname] = v is True
        elif cond and draw(st.booleans()):
            v = draw(st.sampled_from([None, "omit"]))
            expected[fname] = None
        elif not cond and (vt in STD_DEFAULTS or isinstance(vt, tuple) and vt[0] in ("vec", "bvec")) \
                and draw(st.integers(0, 5)) == 0:
            v = "omit"
            expected[fname] = STD_DEFAULTS.get(vt, [])
        else:
            v, expected[fname] = std_value(draw, vt, cons, index + 1)
        if word and (v is True if vt == "true" else v not in (None, "omit")):
            word[3] |= bit
        if v != "omit":
            value[fname] = v
    for name, given, used, present in words:
        expected[name] = given & ~used | present
    return value, expected


@st.composite
def std_cases(draw):
    text, cons = draw(std_schemas())
    value, expected = std_object(draw, cons, draw(st.integers(0, len(cons) - 1)), False)
    return text, cons, value, expected


@SETTINGS
@given(case=std_cases())
def test_standard_round_trip(Parser, case):
    text, _, value, expected = case
    parser = Parser(text, standard=True)
    data = parser.pack(value)
    assert len(data) % 4 == 0
    decoded = parser.unpack(data)
    assert canon(decoded) == canon(expected)
    assert parser.pack(decoded) == data
    assert parser.unpack_from(b"\0" * 3 + data + b"\0", 3) == (decoded, 3 + len(data))


@SETTINGS
@given(case=std_cases())
def test_standard_extension_writes_the_reference_bytes(case):
    text, _, value, _ = case
    assert (outcome(tl.TLParser(text, standard=True).pack, value)
            == outcome(tl_reference.TLParser(text, standard=True).pack, value))


@SETTINGS
@given(case=std_cases(), data=st.data())
def test_standard_wrong_values_fail_alike(case, data):
    text, cons, value, _ = case
    value = dict(value)
    fields = [f[0] for f in next(c for c in cons if c[0] == value["_"])[2] if f[0] != "#"]
    if fields:
        value[data.draw(st.sampled_from(fields))] = data.draw(WRONG | st.sampled_from([2**128, -2**255 - 1]))
    assert (outcome(tl.TLParser(text, standard=True).pack, value)
            == outcome(tl_reference.TLParser(text, standard=True).pack, value))


@SETTINGS
@given(case=std_cases(), data=st.data())
def test_standard_arbitrary_input_decodes_alike(case, data):
    text, cons, value, _ = case
    raw = data.draw(messy_bytes(text, cons, value, standard=True))
    ours, reference = tl.TLParser(text, standard=True), tl_reference.TLParser(text, standard=True)
    assert outcome(ours.unpack, raw) == outcome(reference.unpack, raw)
    at = data.draw(st.integers(0, len(raw)))
    assert (outcome(lambda b: ours.unpack_from(b, at), bytearray(raw))
            == outcome(lambda b: reference.unpack_from(b, at), bytearray(raw)))


@settings(SETTINGS, max_examples=40)
@given(case=std_cases())
def test_standard_every_prefix_decodes_or_reports_a_parse_error(case):
    text, _, value, expected = case
    ours, reference = tl.TLParser(text, standard=True), tl_reference.TLParser(text, standard=True)
    data = reference.pack(value)
    assert outcome(ours.unpack, data) == ("ok", canon(expected))
    for cut in range(len(data)):
        got = outcome(ours.unpack, data[:cut])
        assert got == outcome(reference.unpack, data[:cut]), cut
        if got[0] != "ok":
            assert TRUNCATION_ERRORS.fullmatch(f"{got[0]}:{got[1]}"), (cut, got)


# ---------------------------------------------------------------- the service layer

@st.composite
def service_cases(draw):
    """A server container: rpc_results (a random schema's object, a list of
    longs, a Bool, some gzip_packed), with the results a client expects, and
    the container's bytes as the reference packs them."""
    text, cons, value, expected = draw(std_cases())
    longs = draw(st.lists(st.integers(-2**63, 2**63 - 1), max_size=3))
    flag = draw(st.booleans())
    bodies = [(value, None), (longs, "Vector<long>"), (flag, "Bool")]
    if draw(st.booleans()):
        bodies.append(({"_": "gzip_packed", "packed_data": longs}, "Vector<long>"))
    messages, results = [], {}
    reqs = draw(st.lists(st.integers(-2**63, 2**63 - 1), min_size=len(bodies), max_size=len(bodies), unique=True))
    for i, (result, type_text) in enumerate(draw(st.permutations(bodies))):
        req = reqs[i]
        if type_text is not None and draw(st.booleans()) or type_text == "Bool":
            results[req] = type_text
        messages.append({"_": "message", "msg_id": i, "seqno": 2 * i + 1, "bytes": -1,
                         "body": {"_": "rpc_result", "req_msg_id": req, "result": result}})
    return text, {"_": "msg_container", "messages": messages}, results


@SETTINGS
@given(case=service_cases(), strings=st.sampled_from(["str", "bytes"]))
def test_service_containers_pack_and_unpack_alike(case, strings):
    text, value, results = case
    ours = tl.TLParser(text, standard=True, strings=strings)
    reference = tl_reference.TLParser(text, standard=True, strings=strings)
    packed = outcome(lambda v: ours.pack(v, results=results), value)
    assert packed == outcome(lambda v: reference.pack(v, results=results), value)
    if packed[0] != "ok":
        return
    data = packed[1][1]
    decoded = outcome(lambda b: ours.unpack(b, results=results), data)
    assert decoded == outcome(lambda b: reference.unpack(b, results=results), data)
    assert decoded[0] == "ok"
    # Without results, results that are no object come back as their bytes,
    # and pack writes them back as they were.
    plain = ours.unpack(data)
    assert canon(plain) == canon(reference.unpack(data))
    assert ours.pack(plain) == reference.pack(plain)
    assert canon(ours.unpack(ours.pack(plain), results=results)) == canon(
        ours.unpack(ours.pack(ours.unpack(data, results=results), results=results), results=results))


@SETTINGS
@given(case=service_cases(), data=st.data())
def test_service_arbitrary_input_decodes_alike(case, data):
    text, value, results = case
    reference = tl_reference.TLParser(text, standard=True)
    try:
        packed = reference.pack(value, results=results)
    except (TypeError, ValueError, OverflowError, AttributeError):
        return
    raw = bytearray(packed)
    for _ in range(data.draw(st.integers(1, 3))):
        if raw:
            raw[data.draw(st.integers(0, len(raw) - 1))] = data.draw(st.integers(0, 255))
    raw = bytes(raw[:data.draw(st.integers(0, len(raw)))])
    ours = tl.TLParser(text, standard=True)
    assert outcome(lambda b: ours.unpack(b, results=results), raw) == outcome(
        lambda b: reference.unpack(b, results=results), raw)
