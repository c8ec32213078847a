"""Memory and reference-count readings for the stability tests.

A leak shows as growth in every window of many calls; a cache or an
allocator that settles grows in one window at most. These readings are what
the tests compare between windows.
"""
import ctypes
import os
import sys


class MallInfo2(ctypes.Structure):  # glibc 2.33 and later
    _fields_ = [(f, ctypes.c_size_t) for f in "arena ordblks smblks hblks hblkhd usmblks "
                "fsmblks uordblks fordblks keepcost".split()]


MALLINFO2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
if MALLINFO2:
    MALLINFO2.restype = MallInfo2


def c_heap():
    """Bytes of the C heap in use (ordinary and mapped blocks); 0 where glibc cannot tell."""
    info = MALLINFO2() if MALLINFO2 else MallInfo2()
    return info.uordblks + info.hblkhd


def resident():
    """The resident set size in bytes."""
    fd = os.open("/proc/self/statm", os.O_RDONLY)  # no io objects: they shift None's count
    try:
        return int(os.read(fd, 256).split()[1]) * os.sysconf("SC_PAGE_SIZE")
    finally:
        os.close(fd)


def mortal(objects):
    """The objects whose reference counts mean something (immortal ones have none)."""
    return [o for o in objects if sys.getrefcount(o) < 1 << 30]


def refcounts(objects):
    """The reference count of each object."""
    return list(map(sys.getrefcount, objects))
