"""Pieces of TL wire data for the tests to build expected bytes from."""
import struct

VECTOR_ID = 0x1CB5C415
VECTOR = struct.pack("<I", VECTOR_ID)  # the boxed vector's constructor id on the wire


def u32(*xs):
    """Little-endian 32-bit words; negative values as their two's complement."""
    return b"".join(struct.pack("<I", x & 0xFFFFFFFF) for x in xs)


def u64(*xs):
    """Little-endian 64-bit words; negative values as their two's complement."""
    return b"".join(struct.pack("<Q", x & 0xFFFFFFFFFFFFFFFF) for x in xs)


def tl_bytes(data):
    """A TL byte string: length prefix, data, zero padding to 4 bytes."""
    head = bytes([len(data)]) if len(data) < 254 else b"\xfe" + len(data).to_bytes(3, "little")
    body = head + data
    return body + b"\0" * (-len(body) & 3)
