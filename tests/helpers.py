"""Helpers the test files share: exact exceptions, schemas from TL lines."""
import re
import warnings

import pytest

from Velta.schema import from_tl


def convert(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return from_tl(text)


def tl_schema(text):
    """A schema from a few TL lines, their ids computed from the text."""
    return convert(text)


def raises(exc, match, fn, *args, **kwargs):
    """Calls fn, which must raise exactly exc with a message (notes aside)
    that ``match`` finds (``^``...``$`` for all of it)."""
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc
    assert match is None or re.search(match, str(info.value)), str(info.value)
    return info.value
