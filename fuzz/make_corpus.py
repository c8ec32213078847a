"""Writes the seed corpus of fuzz_tl.py into fuzz/corpus/.

Unpack seeds (first byte 0x00 | schema) are valid packed messages of each
schema, a few of them cut short; pack seeds (0x80 | schema) are entropy
strings that build a packable value. Everything comes from a fixed random
seed, so running this again gives the same files. Run it from the repository
root as ``python -m fuzz.make_corpus``, with an importable Velta and atheris
(for instance under run.sh's environment), after changing the schemas.
"""

import gzip
import struct
import os
import random
import shutil

import atheris

from fuzz import fuzz_tl

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
MAX_SEED = 8192

NODE3 = {"_": "node", "value": 3, "next": {"_": "node", "value": 2, "next": {"_": "node", "value": 1}}}
SINK = {
    "_": "sink", "i": -5, "l": 2**63 + 1, "d": -0.5, "s": "héllo", "b": bytes(range(7)), "ok": True,
    "opt_i": 0, "opt_s": "x" * 300, "marker": True, "opt_point": {"_": "pointEmpty"},
    "opt_longs": [1, 2**64 - 1], "opt_ok": True, "opt_d": float("inf"),
    "opt2_l": 7, "opt2_b": b"", "opt2_true": True, "opt2_points": [{"_": "point", "x": 1, "y": 2}],
    "point": {"_": "point", "x": 2**31 - 1, "y": -2**31}, "ints": [1, 2, 3],
    "points": [{"_": "pointEmpty"}, {"_": "point", "x": 9, "y": 9}], "grid": [[1, 2], [], [3]],
    "strs": ["", "a", "ü" * 200], "blobs": [b"\x00" * 254], "doubles": [1.5, float("nan")],
    "bools": [True, False], "node": NODE3,
    "tree": {"_": "tree", "value": 1, "children": [{"_": "tree", "value": 2, "children": []}]},
    "any": {"_": "ping", "ping_id": 42},
}
PAIR = {"_": "pair", "a": -1, "b": False}
WIDE = {
    "_": "wide", "n": -2**127, "k": 2**256 - 1, "ok": True, "maybe": False, "big": 5, "on": True,
    "ints": [-1, 2], "bools": [True, False], "pairs": [PAIR], "points": [{"x": 1, "y": -2}],
    "here": True, "marks": [{"_": "mark"}] * 3, "trues": [True] * 2, "flags": "not a word", "inner": PAIR,
    "any": {"_": "point", "x": 3, "y": 4}, "nested": [[1, -1], []],
}
HANDWRITTEN = {
    0: [{"_": "point", "x": 1, "y": -1}, {"_": "label", "text": "hi"}],
    1: [SINK, {"_": "sink", "point": {"_": "pointEmpty"}, "node": {"_": "node"}, "tree": {"_": "tree"},
               "any": {"_": "pointEmpty"}}, NODE3, {"_": "getSink", "sink": SINK, "limit": 10, "tag": True}],
    3: [WIDE, {"_": "call", "w": WIDE, "p": {"x": 0, "y": 0}}, {"_": "wide", "any": {"_": "mark"}}],
}


def gzip_packed(packed):
    """A gzip_packed object around the message `packed` (the standard mode
    reads the message in its place)."""
    data = gzip.compress(packed, mtime=0)
    head = bytes([len(data)]) if len(data) < 254 else b"\xfe" + len(data).to_bytes(3, "little")
    body = head + data
    return (0x3072CFA1).to_bytes(4, "little") + body + bytes(-len(body) & 3)


def service_wrapped(messages):
    """A server container (the standard mode's built-in service layer): each
    message as an rpc_result, a vector result whose type only a request
    knows, one inside gzip_packed, and a message copy."""
    bodies = [struct.pack("<IQ", 0xF35C6D01, 100 + n) + m for n, m in enumerate(messages)]
    bodies.append(struct.pack("<IQII", 0xF35C6D01, 99, 0x1CB5C415, 1) + struct.pack("<q", -5))
    bodies += [gzip_packed(m) for m in messages[:1]]
    out = struct.pack("<II", 0x73F1F8DC, len(bodies))
    for n, body in enumerate(bodies):
        out += struct.pack("<qii", n * 4 + 1, 2 * n + 1, len(body)) + body
    copy = struct.pack("<Iqii", 0xE06046B2, 9, 1, len(bodies[0])) + bodies[0]
    return [out, copy]


def built_values(codec, rng, count):
    """Values of the fuzzer's own builder that pack, with their entropy."""
    found = []
    for _ in range(count * 20):
        entropy = rng.randbytes(rng.choice([64, 256, 1024]))
        builder = fuzz_tl.Builder(atheris.FuzzedDataProvider(entropy), codec)
        value = builder.object(builder.pick(codec.entries), 0)
        try:
            packed = codec.parser.pack(value)
        except Exception:
            continue
        if len(packed) <= MAX_SEED:
            found.append((entropy, packed))
            if len(found) == count:
                break
    return found


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    os.makedirs(OUT)
    rng = random.Random(20240601)
    names = ["tiny", "full", "large", "standard"]
    written = 0

    def write(name, data):
        nonlocal written
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
        written += 1

    for index, codec in enumerate(fuzz_tl.CODECS):
        tag = names[index]
        messages = [codec.parser.pack(v) for v in HANDWRITTEN.get(index, [])]
        built = built_values(codec, rng, {0: 3, 1: 6, 2: 12, 3: 6}[index])
        messages += [packed for _, packed in built]
        if codec.standard:
            messages += [gzip_packed(m) for m in messages[:2]]
            messages += service_wrapped(messages[:3])
        for n, packed in enumerate(messages):
            write(f"{tag}-unpack-{n:02d}", bytes([index]) + packed)
        for n, packed in enumerate(messages[:3]):
            write(f"{tag}-unpack-cut-{n:02d}", bytes([index]) + packed[: len(packed) * 2 // 3])
        for n, (entropy, _) in enumerate(built[:4]):
            write(f"{tag}-pack-{n:02d}", bytes([0x80 | index]) + entropy)
    print(f"wrote {written} seeds to {OUT}")


if __name__ == "__main__":
    main()
