"""How much memory the dicts of one unpack can take per input byte, for the
worst case (objects without fields), with and without gzip_packed.

    python benchmarks/memory_per_byte.py
"""
import gzip
import struct
import tracemalloc

from Velta.tl import TLParser

VECTOR_ID, GZIP_PACKED_ID = 0x1CB5C415, 0x3072CFA1
SCHEMA = {"constructors": [
    {"predicate": "e", "id": 1, "type": "E", "params": []},
    {"predicate": "v", "id": 2, "type": "V", "params": [{"name": "x", "type": "Vector<E>"}]},
    {"predicate": "b", "id": 3, "type": "B", "params": [{"name": "x", "type": "vector<%E>"}]}]}


def held_by(parser, data):
    """Bytes the decoded value holds."""
    tracemalloc.start()
    value = parser.unpack(data)
    held = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del value
    return held


def boxed_empty_objects(count):
    return struct.pack("<III", 2, VECTOR_ID, count) + struct.pack("<I", 1) * count


def main():
    n = 1 << 20
    for standard in (False, True):
        data = boxed_empty_objects(n)
        held = held_by(TLParser(SCHEMA, standard=standard), data)
        print(f"standard={standard}, boxed empty objects: {held / len(data):.1f} bytes per input byte")
    parser = TLParser(SCHEMA, standard=True)
    # Bare empty objects take no bytes: four per input byte (and 4,096) are allowed.
    size = 1 << 20
    data = struct.pack("<II", 3, 4 * size) + bytes(size - 8)
    print(f"standard=True, bare empty objects: {held_by(parser, data) / len(data):.1f} bytes per input byte")
    inner = boxed_empty_objects((16 << 20) // 4 - 3)
    packed = gzip.compress(inner, 9)
    body = b"\xfe" + len(packed).to_bytes(3, "little") + packed
    data = struct.pack("<I", GZIP_PACKED_ID) + body + bytes(-len(body) % 4)
    held = held_by(parser, data)
    print(f"standard=True, gzip_packed of 16 MiB: {len(data)} input bytes hold {held / 2**20:.0f} MiB "
          f"({held / len(inner):.1f} bytes per inflated byte)")


if __name__ == "__main__":
    main()
