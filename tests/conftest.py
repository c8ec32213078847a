import pytest

from Velta import tl

import tl_reference

# The codec's behaviour is defined once and checked against both the C
# extension and the small pure-Python reference in tl_reference.py.
IMPLEMENTATIONS = {"c": tl.TLParser, "py": tl_reference.TLParser}


@pytest.fixture(params=sorted(IMPLEMENTATIONS))
def Parser(request):
    """A parser class: the extension's TLParser or the reference one."""
    return IMPLEMENTATIONS[request.param]
