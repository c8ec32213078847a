"""unpack_from: one object read from any buffer at an offset, in a loop over a
stream, with positions counted from the buffer's start."""
import mmap

import pytest

from helpers import raises, tl_schema
from wire import u32


def stream(parser):
    """Three messages back to back: their values and the bytes of the stream."""
    values = [{"_": "m", "s": "a" * n, "i": n - 5} for n in (1, 6, 300)]
    return values, b"".join(parser.pack(v) for v in values)


def as_buffer(kind, data, tmp_path):
    if kind == "bytes":
        return data
    if kind == "bytearray":
        return bytearray(data)
    if kind == "memoryview":
        return memoryview(bytearray(data))
    path = tmp_path / "stream.bin"
    path.write_bytes(data)
    with open(path, "rb") as f:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


@pytest.mark.parametrize("standard", [False, True])
@pytest.mark.parametrize("kind", ["bytes", "bytearray", "memoryview", "mmap"])
@pytest.mark.parametrize("lead", [0, 1, 3, 6])
def test_unpack_from_reads_a_stream_in_a_loop(Parser, tmp_path, standard, kind, lead):
    parser = Parser(tl_schema("m#00000001 s:string i:int = M;"), standard=standard)
    values, data = stream(parser)
    buffer = as_buffer(kind, b"\xee" * lead + data, tmp_path)
    got, offset = [], lead
    while offset < len(buffer):
        value, offset = parser.unpack_from(buffer, offset)
        got.append(value)
    assert got == [dict(v, i=v["i"] % 2**32 if not standard else v["i"]) for v in values]
    assert offset == len(buffer)
    assert parser.unpack_from(buffer=buffer, offset=lead) == (got[0], lead + len(parser.pack(values[0])))
    if kind == "mmap":
        buffer.close()  # no export is left behind


def test_unpack_from_counts_positions_from_the_buffer_start(Parser):
    parser = Parser(tl_schema("m#00000001 s:string i:int = M;"))
    data = b"\0" * 5 + parser.pack({"_": "m", "s": "abc", "i": 1})
    raises(RuntimeError, "^Parse error at position 13$", parser.unpack_from, data[:-3], 5)
    raises(RuntimeError, "^Parse error at position 15$", parser.unpack_from, data + b"x", len(data) - 2)
    raises(RuntimeError, "^Parse error at position 9$", parser.unpack_from, data[:9], 9)
    raises(ValueError, "^Unknown constructor ID: 0x00000000$", parser.unpack_from, data, 1)
    # A string that ends the input may leave its padding out, as unpack allows.
    text_only = Parser(tl_schema("n#00000002 s:string = N;"))
    tail = text_only.pack({"_": "n", "s": "ab"})[:-1]
    for lead in (0, 1, 2):
        # ... and the object ends where the input does, so a reading loop stops
        assert text_only.unpack_from(b"\0" * lead + tail, lead) == ({"_": "n", "s": "ab"}, lead + 7)


def test_unpack_from_pads_from_the_objects_start(Parser):
    parser = Parser(tl_schema("m#00000001 s:string i:int = M;"))
    data = parser.pack({"_": "m", "s": "ab", "i": 7})  # 4 + (1 + 2 + 1) + 4
    for lead in range(5):
        assert parser.unpack_from(b"\xff" * lead + data, lead) == ({"_": "m", "s": "ab", "i": 7}, lead + 12)


@pytest.mark.parametrize("buffer, offset, exc", [
    (b"\1\0\0\0", -1, ValueError), (b"\1\0\0\0", 5, ValueError), (b"", 1, ValueError),
    (bytearray(4), 2**70, ValueError), (b"\1\0\0\0", 1.0, TypeError), (b"\1\0\0\0", "0", TypeError),
    ("\1\0\0\0", 0, TypeError), (None, 0, TypeError), ([1, 0, 0, 0], 0, TypeError),
])
def test_unpack_from_refuses_bad_arguments(Parser, buffer, offset, exc):
    parser = Parser(tl_schema("m#00000001 = M;"))
    with pytest.raises(exc) as info:
        parser.unpack_from(buffer, offset)
    if exc is ValueError:
        assert str(info.value) == "offset out of range"


def test_unpack_from_refuses_a_strided_buffer(Parser):
    parser = Parser(tl_schema("m#00000001 = M;"))
    with pytest.raises((BufferError, TypeError, ValueError)):
        parser.unpack_from(memoryview(u32(1, 1))[::2])


def test_unpack_from_holds_the_buffer(Parser):
    # The export is held during the call: nothing can resize the buffer under
    # the reader, and after the call the buffer can be resized again.
    parser = Parser(tl_schema("m#00000001 s:string = M;"))
    buffer = bytearray(parser.pack({"_": "m", "s": "x" * 100}))
    assert parser.unpack_from(buffer)[0]["s"] == "x" * 100
    buffer.extend(b"1234")
    del buffer[:]


def test_unpack_still_takes_exactly_bytes(Parser):
    parser = Parser(tl_schema("m#00000001 = M;"), standard=True)
    for data in (bytearray(u32(1)), memoryview(u32(1))):
        with pytest.raises(TypeError):
            parser.unpack(data)
