"""Arrow capsules built by hand: malformed or hostile imports raise and never crash, every
imported struct is released exactly once, and exported structs release cleanly."""

import ctypes
import gc
import os
import struct

import pytest

import simsieve
from simsieve import _simsieve as native

pa = pytest.importorskip("pyarrow")
try:
    from simsieve import _testing
except ImportError:
    _testing = None


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))), ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", SCHEMA_RELEASE), ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))), ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ARRAY_RELEASE), ("private_data", ctypes.c_void_p),
]
GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ArrowArrayStream))
STREAM_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))
ArrowArrayStream._fields_ = [
    ("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_LAST_ERROR),
    ("release", STREAM_RELEASE), ("private_data", ctypes.c_void_p),
]

capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = ctypes.c_void_p
capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
NAMES = {name: ctypes.create_string_buffer(name) for name in (b"arrow_schema", b"arrow_array", b"arrow_array_stream")}


class Producer:
    """Hand-built Arrow structs behind __arrow_c_array__, counting their releases."""

    def __init__(self, fmt, length, buffers, *, offset=0, null_count=0, n_buffers=None, child=None,
                 child_format=None, names=(b"arrow_schema", b"arrow_array"), released=False):
        self.keep = []
        self.releases = {"schema": 0, "array": 0}
        self.schema = self._schema(fmt, child_format)
        self.array = self._array(length, buffers, offset, null_count, n_buffers, child)
        self.names = names
        if released:
            self.array.release = ctypes.cast(None, ARRAY_RELEASE)

    def _pointer(self, data):
        if data is None or isinstance(data, int):
            return data
        buf = ctypes.create_string_buffer(bytes(data), max(len(data), 1))
        self.keep.append(buf)
        return ctypes.addressof(buf)

    def _schema(self, fmt, child_format, counted=True):
        schema = ArrowSchema()
        schema.format = fmt
        if child_format is not None:
            child = self._schema(child_format, None, counted=False)
            table = (ctypes.POINTER(ArrowSchema) * 1)(ctypes.pointer(child))
            self.keep.append(table)
            schema.n_children = 1
            schema.children = table

        def release(p):
            if counted:
                self.releases["schema"] += 1
            p.contents.release = ctypes.cast(None, SCHEMA_RELEASE)

        callback = SCHEMA_RELEASE(release)  # kept: a struct field does not keep its thunk alive
        schema.release = callback
        self.keep += [schema, callback]
        return schema

    def _array(self, length, buffers, offset, null_count, n_buffers, child, counted=True):
        array = ArrowArray()
        array.length, array.offset, array.null_count = length, offset, null_count
        if buffers is not None:
            table = (ctypes.c_void_p * max(len(buffers), 1))(*[self._pointer(b) for b in buffers])
            self.keep.append(table)
            array.buffers = table
        array.n_buffers = len(buffers) if n_buffers is None else n_buffers
        if child is not None:
            inner = self._array(*child, 0, 0, None, None, counted=False)
            kids = (ctypes.POINTER(ArrowArray) * 1)(ctypes.pointer(inner))
            self.keep.append(kids)
            array.n_children = 1
            array.children = kids

        def release(p):
            if counted:
                self.releases["array"] += 1
            p.contents.release = ctypes.cast(None, ARRAY_RELEASE)

        callback = ARRAY_RELEASE(release)
        array.release = callback
        self.keep += [array, callback]
        return array

    def __arrow_c_array__(self, requested_schema=None):
        schema = capsule_new(ctypes.addressof(self.schema), NAMES[self.names[0]], None)
        array = capsule_new(ctypes.addressof(self.array), NAMES[self.names[1]], None)
        return schema, array


def offsets32(*values):
    return struct.pack(f"<{len(values)}i", *values)


def view(size, inline=b"", buffer=0, start=0):
    if size <= 12:
        return struct.pack("<i", size) + inline.ljust(12, b"\0")
    return struct.pack("<i4sii", size, inline[:4].ljust(4, b"\0"), buffer, start)


GOOD = dict(fmt=b"u", length=2, buffers=[None, offsets32(0, 2, 5), b"abcde"])


def test_well_formed_hand_built_column_imports_and_releases_once():
    producer = Producer(**GOOD)
    assert native.cluster_canonicals(producer, 0.0) == [([0, 1], 0.0)]
    assert producer.releases == {"schema": 1, "array": 1}
    views = Producer(b"vu", 2, [None, view(3, b"abc") + view(14, b"long", 0, 1), b"xlong string!!!", struct.pack("<q", 15)])
    assert simsieve.ratio(views, ["abc", "long string!!!"]).tolist() == [1.0, 1.0]
    assert views.releases == {"schema": 1, "array": 1}



def test_view_layout_utf8_is_checked_string_by_string():
    """A data buffer that is valid UTF-8 as a whole still fails a view cut inside a character;
    bytes outside a string (elsewhere in its buffer, past an inline string, under a null) never
    fail it."""
    data = "abcdefghijklm\u00e9nopqrstuvwxyz0123".encode()  # 32 bytes, the "\u00e9" at 13-14
    sizes = struct.pack("<q", len(data))
    bad = {
        "inline invalid": [view(2, b"a\xff")],
        "start inside a character": [view(1, b"x"), view(13, data[14:18], 0, 14)],
        "end inside a character": [view(1, b"x"), view(14, data[:4], 0, 0)],
    }
    for case, views in bad.items():
        producer = Producer(b"vu", len(views), [None, b"".join(views), data, sizes])
        with pytest.raises(ValueError, match=rf"^argument 'canonicals': item {len(views) - 1} is not valid UTF-8$"):
            native.cluster_canonicals(producer, 0.5)
        assert producer.releases == {"schema": 1, "array": 1}, case
    good = [view(15, data[:4], 0, 0), view(2, "\u00e9".encode()), view(2, b"ab\xff\xff"), view(13, data[15:19], 0, 15)]
    producer = Producer(b"vu", 4, [None, b"".join(good), data, sizes])
    assert simsieve.ratio(producer, [data[:15].decode(), "\u00e9", "ab", data[15:28].decode()]).tolist() == [1.0] * 4
    junk = b"\xff" + b"z" * 20
    producer = Producer(b"vu", 3, [bytes([0b101]), view(14, junk[1:5], 0, 1) + view(3, b"\xff\xfe\xfd") + view(2, b"ok"),
                                   junk, struct.pack("<q", len(junk))], null_count=1)
    assert simsieve.extract("ok", producer, limit=None, score_cutoff=0.5) == [("ok", 1.0, 2)]


HOSTILE = {
    "negative length": (dict(GOOD, length=-1), "negative length"),
    "negative offset": (dict(GOOD, offset=-3), "negative length or offset"),
    "overflowing offset": (dict(GOOD, offset=2**63 - 2), "overflow"),
    "null buffer table": (dict(GOOD, buffers=None, n_buffers=3), "null buffer table"),
    "too few buffers": (dict(GOOD, n_buffers=2), "at least 3 buffers"),
    "null offsets": (dict(GOOD, buffers=[None, None, b"abcde"]), "null offsets buffer"),
    "null data": (dict(GOOD, buffers=[None, offsets32(0, 2, 5), None]), "null character data buffer"),
    "decreasing offsets": (dict(GOOD, buffers=[None, offsets32(0, 4, 2), b"abcde"]), "offsets decrease at item 1"),
    "negative first offset": (dict(GOOD, buffers=[None, offsets32(-8, 2, 5), b"abcde"]), "negative offsets"),
    "nulls without bitmap": (dict(GOOD, null_count=1), "without a validity buffer"),
    "released array": (dict(GOOD, released=True), "already released"),
    "unexpected child": (dict(GOOD, child=(0, [None, offsets32(0), b""])), "number of children"),
    "view past its buffer": (
        dict(fmt=b"vu", length=1, buffers=[None, view(20, b"long", 0, 4), b"x" * 20, struct.pack("<q", 20)]),
        "runs past the end of its data buffer",
    ),
    "view naming a missing buffer": (
        dict(fmt=b"vu", length=1, buffers=[None, view(20, b"long", 3, 0), b"x" * 20, struct.pack("<q", 20)]),
        "names a missing data buffer",
    ),
    "negative view length": (
        dict(fmt=b"vu", length=1, buffers=[None, view(-5), struct.pack("<q", 0)]),
        "negative string length",
    ),
    "list offsets past the child": (
        dict(fmt=b"+l", child_format=b"u", length=1, buffers=[None, offsets32(0, 3)],
             child=(2, [None, offsets32(0, 1, 2), b"ab"])),
        "run past the end of the child",
    ),
}


@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_malformed_arrays_raise(case):
    kwargs, message = HOSTILE[case]
    producer = Producer(**kwargs)
    target = native.cosine_join if kwargs["fmt"] == b"+l" else native.cluster_canonicals
    with pytest.raises(ValueError, match=message) as raised:
        target(producer, 0.5)
    assert str(raised.value).startswith("argument ")
    expected_array = 0 if kwargs.get("released") else 1
    assert producer.releases == {"schema": 1, "array": expected_array}


def test_wrong_capsules_raise_type_errors():
    swapped = Producer(**GOOD, names=(b"arrow_array", b"arrow_schema"))
    with pytest.raises(TypeError, match=r"^argument 'canonicals': expected a PyCapsule named 'arrow_schema', got one named 'arrow_array'$"):
        native.cluster_canonicals(swapped, 0.5)

    class NotCapsules:
        def __init__(self, value):
            self.value = value

        def __arrow_c_array__(self, requested_schema=None):
            return self.value

    with pytest.raises(TypeError, match="got a 'int' object"):
        native.cluster_canonicals(NotCapsules((1, 2)), 0.5)
    with pytest.raises(TypeError, match=r"must return a \(schema, array\) tuple"):
        native.cluster_canonicals(NotCapsules("nope"), 0.5)

    class Raising:
        def __arrow_c_stream__(self, requested_schema=None):
            raise RuntimeError("producer failed")

    with pytest.raises(RuntimeError, match="producer failed"):
        native.cluster_canonicals(Raising(), 0.5)
    with pytest.raises(TypeError, match="Arrow format 'z'"):
        native.cluster_canonicals(Producer(b"z", 0, [None, None]), 0.5)


def test_stream_errors_carry_the_producer_message():
    keep = []
    state = {"released": 0}
    good = Producer(**GOOD)

    def get_schema(stream, out):
        ctypes.memmove(out, ctypes.addressof(good.schema), ctypes.sizeof(ArrowSchema))
        good.schema.release = ctypes.cast(None, SCHEMA_RELEASE)
        return 0

    def get_next(stream, out):
        return 5  # EIO

    def release(stream):
        state["released"] += 1
        stream.contents.release = ctypes.cast(None, STREAM_RELEASE)

    stream = ArrowArrayStream()
    message = ctypes.create_string_buffer(b"disk on fire")
    keep += [GET_SCHEMA(get_schema), GET_NEXT(get_next), GET_LAST_ERROR(lambda s: ctypes.addressof(message)),
             STREAM_RELEASE(release)]
    stream.get_schema, stream.get_next, stream.get_last_error, stream.release = keep

    class Streaming:
        def __arrow_c_stream__(self, requested_schema=None):
            return capsule_new(ctypes.addressof(stream), NAMES[b"arrow_array_stream"], None)

    with pytest.raises(ValueError, match=r"^argument 'canonicals': Arrow stream error: disk on fire$"):
        native.cluster_canonicals(Streaming(), 0.5)
    assert state["released"] == 1
    assert good.releases["schema"] == 1


@pytest.mark.skipif(_testing is None, reason="needs simsieve._testing")
def test_exports_are_released_exactly_once():
    gc.collect()
    base = _testing.live_exports()
    schema, array = _testing.export_column_capsules([0.5, 1.0])
    assert _testing.live_exports() == base + 2
    imported = pa.Array._import_from_c_capsule(schema, array)
    assert imported.to_pylist() == [0.5, 1.0]
    del schema, array  # moved out: the capsules no longer own anything
    assert _testing.live_exports() == base + 1  # pyarrow released the schema, keeps the array
    del imported
    gc.collect()
    assert _testing.live_exports() == base
    # A stream, read by pyarrow; its schema, batch (and children) and itself are all released.
    reader = pa.RecordBatchReader._import_from_c_capsule(_testing.export_table_stream([0.25, 0.75, 1.0]))
    table = reader.read_all()
    assert table.to_pylist() == [{"index": 0, "value": 0.25}, {"index": 1, "value": 0.75}, {"index": 2, "value": 1.0}]
    del reader, table
    gc.collect()
    assert _testing.live_exports() == base
    # Capsules dropped unread release what they own.
    _testing.export_column_capsules([1.0])
    _testing.export_table_stream([1.0])
    gc.collect()
    assert _testing.live_exports() == base


@pytest.mark.skipif("san.so" in os.environ.get("LD_PRELOAD", ""), reason="RSS is meaningless under sanitizers")
def test_no_leak_over_many_column_calls():
    def rss_kib():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))

    texts = [f"line {k * 7919 % 1000} of {'some' if k % 2 else 'other'} code" for k in range(400)]
    column = pa.chunked_array([texts[:150], texts[150:]])

    def step():
        simsieve.ratio(column, column)
        native.cluster_canonicals(column[:60], 0.95)
        simsieve.cluster_canonicals(column[:60], 0.95, as_arrow=True)
        pa.table(simsieve.cosine_join(pa.array([t.split() for t in texts[:100]]), 0.9, as_arrow=True))
        with pytest.raises(ValueError):
            native.cluster_canonicals(pa.array(["a", None]), 0.5)

    for _ in range(20):
        step()
    gc.collect()
    start = rss_kib()
    for _ in range(100):
        step()
    gc.collect()
    assert rss_kib() - start < 8 * 1024
