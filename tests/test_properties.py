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
def messy_bytes(draw, text, cons, value):
    """Random input that often gets past the constructor id: noise, a known
    id followed by noise, or a valid message with a few bytes overwritten."""
    kind = draw(st.sampled_from(["noise", "id", "mutated"]))
    if kind == "noise":
        return draw(st.binary(max_size=48))
    if kind == "id":
        cid = draw(st.sampled_from([c[1] for c in cons]))
        return struct.pack("<I", cid) + draw(st.binary(max_size=48))
    data = bytearray(tl_reference.TLParser(text).pack(value))
    for _ in range(draw(st.integers(1, 4))):
        data[draw(st.integers(0, len(data) - 1))] = draw(st.integers(0, 255))
    return bytes(data)


@SETTINGS
@given(case=cases(), data=st.data())
def test_arbitrary_input_decodes_alike(case, data):
    text, cons, value, _ = case
    raw = data.draw(messy_bytes(text, cons, value))
    assert outcome(tl.TLParser(text).unpack, raw) == outcome(tl_reference.TLParser(text).unpack, raw)


# What a cut-off message may raise.  A vector element after the cut can be
# read from the left-over bytes of the element before it, so garbage vector
# headers, constructor ids and text are possible too.
TRUNCATION_ERRORS = re.compile(
    r"RuntimeError:Parse error at position \d+"
    r"|ValueError:(Invalid vector ID: 0x[0-9a-f]{8}|Unknown constructor ID: 0x[0-9a-f]{8}"
    r"|Invalid vector length: -\d+)"
    r"|UnicodeDecodeError:.*")


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
