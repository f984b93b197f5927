"""Argument conversion, docstrings and exception translation of the module."""
import numpy as np
import pytest

import vellumcut_core as vc


@pytest.fixture
def block(write_png):
    alpha = np.zeros((12, 12), np.uint8)
    alpha[2:8, 3:9] = 255
    return write_png(alpha)


def test_module_docstring():
    assert vc.__doc__ == "Vellumcut C++ core (Earcut + Triangle + Poisson)"


def test_islands_signature():
    assert vc.islands.__doc__.splitlines()[0] == "islands(path: str, eps: float, margin: int) -> dict"


@pytest.mark.parametrize(
    "call",
    [
        lambda p: vc.islands(p, 2, 0),
        lambda p: vc.islands(margin=0, eps=2.0, path=p),
        lambda p: vc.islands(p.encode(), 2.0, 0),
        lambda p: vc.islands(bytearray(p.encode()), 2.0, 0),
        lambda p: vc.islands(p, np.float64(2.0), np.int32(0)),
    ],
    ids=["int_eps", "keywords_any_order", "bytes_path", "bytearray_path", "numpy_scalars"],
)
def test_accepted_argument_forms_agree(block, call):
    assert call(block) == vc.islands(block, 2.0, 0)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("P", 2.0, 1.5), {}),
        (("P", 2.0, 2**31), {}),
        (("P", 2.0, -(2**31) - 1), {}),
        (("P", 2.0), {}),
        (("P",), {"eps": 1.0}),
        (("P", 2.0, 0), {"extra": 1}),
        ((None, 2.0, 0), {}),
        (("P", "1.0", 0), {}),
        (("P", 2.0, "0"), {}),
    ],
    ids=["float_margin", "margin_2_31", "margin_below_int32", "missing_margin",
         "missing_by_keyword", "unexpected_keyword", "none_path", "str_eps", "str_margin"],
)
def test_refused_arguments_raise_type_error(block, args, kwargs):
    args = tuple(block if a == "P" else a for a in args)
    with pytest.raises(TypeError, match=r"^islands\(\): incompatible function arguments"):
        vc.islands(*args, **kwargs)


def test_path_object_is_refused(block):
    import pathlib

    with pytest.raises(TypeError, match=r"^islands\(\): incompatible function arguments"):
        vc.islands(pathlib.Path(block), 1.0, 0)


def test_opencv_error_becomes_runtime_error(block):
    # approxPolyDP refuses a negative tolerance.
    with pytest.raises(RuntimeError, match=r"^OpenCV\(.*Epsilon not valid"):
        vc.islands(block, -1.0, 0)


def test_results_are_fresh_objects(block):
    a = vc.islands(block, 1.0, 0)
    a["loops"].clear()
    assert vc.islands(block, 1.0, 0)["loops"]
