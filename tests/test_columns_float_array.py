"""FloatArray: the read-only float result column, shared out through the buffer protocol and the
Arrow PyCapsule interface without a copy."""

import pytest

from simsieve import _simsieve as native

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
try:
    from simsieve import _testing
except ImportError:  # an installed wheel has no test hooks
    _testing = None

needs_testing = pytest.mark.skipif(_testing is None, reason="needs simsieve._testing")


@needs_testing
@pytest.mark.parametrize("f32", [False, True])
def test_buffer_shapes_and_values(f32):
    values = [0.0, 0.25, 1.0, 0.5, 0.125, 0.75]
    column = _testing.float_array(values, [6], f32=f32)
    matrix = _testing.float_array(values, [2, 3], f32=f32)
    dtype = np.float32 if f32 else np.float64
    assert (len(column), column.shape, column.format) == (6, (6,), "f" if f32 else "d")
    assert column.tolist() == values
    assert matrix.tolist() == [values[:3], values[3:]]
    assert (len(matrix), matrix.shape) == (2, (2, 3))
    as_np = np.asarray(matrix)
    assert as_np.dtype == dtype and as_np.shape == (2, 3) and as_np.flags["C_CONTIGUOUS"]
    assert as_np.tolist() == [values[:3], values[3:]]
    # numpy reads the buffer in place and cannot write to it.
    assert not as_np.flags["OWNDATA"] and not as_np.flags["WRITEABLE"]
    with pytest.raises(ValueError):
        as_np[0, 0] = 5.0
    view = memoryview(column)
    assert view.readonly and view.format == ("f" if f32 else "d") and view.nbytes == 6 * view.itemsize
    with pytest.raises(TypeError):
        type(column)()  # built only by simsieve


@needs_testing
def test_empty_and_shape_checks():
    empty = _testing.float_array([], [0])
    assert len(empty) == 0 and empty.tolist() == [] and np.asarray(empty).shape == (0,)
    assert pa.array(empty).to_pylist() == []
    with pytest.raises(ValueError):
        _testing.float_array([1.0, 2.0], [3])
    with pytest.raises(ValueError):
        _testing.float_array([1.0], [1, 1, 1])


@needs_testing
def test_arrow_export_shares_the_values():
    column = _testing.float_array([0.5, 1.0, 0.0], [3])
    exported = pa.array(column)
    assert exported.type == pa.float64() and exported.to_pylist() == [0.5, 1.0, 0.0]
    # pyarrow reads our buffer in place: same address as numpy's view of it.
    assert exported.buffers()[1].address == np.asarray(column).ctypes.data
    del column  # the export keeps the values alive
    assert exported.to_pylist() == [0.5, 1.0, 0.0]
    with pytest.raises(TypeError):
        _testing.float_array([1.0, 2.0], [1, 2]).__arrow_c_array__()
    with pytest.raises(TypeError):
        _testing.float_array([1.0], [1], f32=True).__arrow_c_array__()


def test_type_is_exposed():
    assert native.FloatArray.__name__ == "FloatArray"
