"""The packed form of AAC files (an exact, smaller copy of any file) from Python.

A thin layer over the installed C library, libaaczavrok, through ctypes: nothing is compiled.
Shaped like the standard library's lzma and bz2 modules:

    import aaczavrok
    packed = aaczavrok.pack(open("song.m4a", "rb").read())
    assert aaczavrok.unpack(packed) == open("song.m4a", "rb").read()

    with aaczavrok.open("song.aac.aaz", "wb") as f:   # packs what is written
        f.write(data)
    with aaczavrok.open("song.aac.aaz", "rb") as f:   # unpacks what is read
        data = f.read()

    aaczavrok.test("song.aac.aaz")    # every checksum checked; AazError if any fails
    aaczavrok.info("song.aac.aaz")    # format version, sizes, chunks by method

Every failure raises AazError, which carries the library's result code and its message. The
library is found as AACZ_LIBRARY names it, else by the system's library search
(libaaczavrok.so.2).
"""

import builtins
import ctypes
import ctypes.util
import io
import os
from dataclasses import dataclass, field

__all__ = ["pack", "unpack", "open", "test", "info", "AazError", "Info", "PackedFile", "format_version",
           "library_version"]

# How much is handed to the library at a time when streaming.
_PIECE = 1 << 20


def _load():
    name = os.environ.get("AACZ_LIBRARY") or ctypes.util.find_library("aaczavrok") or "libaaczavrok.so.2"
    return ctypes.CDLL(name)


_lib = _load()

_AAZ_OK = 0
_AAZ_MORE_OUTPUT = 1
_METHODS = 8
_FAMILIES = 16


class _Options(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("threads", ctypes.c_uint),
        ("memory_limit", ctypes.c_uint64),
        ("input_size", ctypes.c_uint64),
        ("family_stats", ctypes.c_int),
        ("refuse_packed", ctypes.c_int),
        ("progress", ctypes.c_void_p),
        ("chunk_done", ctypes.c_void_p),
        ("user", ctypes.c_void_p),
    ]


class _Info(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("format_version", ctypes.c_uint),
        ("original_bytes", ctypes.c_uint64),
        ("packed_bytes", ctypes.c_uint64),
        ("chunks", ctypes.c_uint64),
        ("chunks_by_method", ctypes.c_uint64 * _METHODS),
        ("original_by_method", ctypes.c_uint64 * _METHODS),
        ("packed_by_method", ctypes.c_uint64 * _METHODS),
        ("frames", ctypes.c_uint64),
        ("frames_modelled", ctypes.c_uint64),
        ("frames_raw", ctypes.c_uint64),
        ("other_bytes", ctypes.c_uint64),
        ("family_bits", ctypes.c_uint64 * _FAMILIES),
        ("sys_errno", ctypes.c_int),
        ("units", ctypes.c_char * 160),
        ("message", ctypes.c_char * 256),
    ]


_P = ctypes.c_void_p
_SIZE = ctypes.c_size_t
_SIZE_P = ctypes.POINTER(ctypes.c_size_t)
_STREAM_P = ctypes.POINTER(ctypes.c_void_p)
for _name, _res, _args in [
    ("aaz_version_string", ctypes.c_char_p, []),
    ("aaz_format_version", ctypes.c_uint, []),
    ("aaz_strerror", ctypes.c_char_p, [ctypes.c_int]),
    ("aaz_options_init_sized", ctypes.c_int, [ctypes.POINTER(_Options), _SIZE]),
    ("aaz_info_init_sized", ctypes.c_int, [ctypes.POINTER(_Info), _SIZE]),
    ("aaz_method_name", ctypes.c_char_p, [ctypes.c_uint]),
    ("aaz_pack_bound", ctypes.c_uint64, [ctypes.c_uint64]),
    ("aaz_unpacked_size", ctypes.c_int, [_P, _SIZE, ctypes.POINTER(ctypes.c_uint64)]),
    ("aaz_pack", ctypes.c_int, [ctypes.POINTER(_Options), _P, _SIZE, _P, _SIZE, _SIZE_P, ctypes.POINTER(_Info)]),
    ("aaz_unpack", ctypes.c_int, [ctypes.POINTER(_Options), _P, _SIZE, _P, _SIZE, _SIZE_P, ctypes.POINTER(_Info)]),
    ("aaz_pack_begin", ctypes.c_int, [_STREAM_P, ctypes.POINTER(_Options)]),
    ("aaz_unpack_begin", ctypes.c_int, [_STREAM_P, ctypes.POINTER(_Options)]),
    ("aaz_test_begin", ctypes.c_int, [_STREAM_P, ctypes.POINTER(_Options)]),
    ("aaz_pack_update", ctypes.c_int, [_P, _P, _SIZE, _SIZE_P, _P, _SIZE, _SIZE_P]),
    ("aaz_unpack_update", ctypes.c_int, [_P, _P, _SIZE, _SIZE_P, _P, _SIZE, _SIZE_P]),
    ("aaz_test_update", ctypes.c_int, [_P, _P, _SIZE, _SIZE_P]),
    ("aaz_pack_finish", ctypes.c_int, [_P, _P, _SIZE, _SIZE_P]),
    ("aaz_unpack_finish", ctypes.c_int, [_P, _P, _SIZE, _SIZE_P]),
    ("aaz_test_finish", ctypes.c_int, [_P]),
    ("aaz_stream_info", ctypes.c_int, [_P, ctypes.POINTER(_Info)]),
    ("aaz_stream_end", None, [_P]),
]:
    _fn = getattr(_lib, _name)
    _fn.restype = _res
    _fn.argtypes = _args


class AazError(Exception):
    """A call of the library failed: `code` is its result code (`name` its name, as in
    aaczavrok.h), `message` what went wrong in the program's words."""

    _NAMES = ["AAZ_OK", "AAZ_MORE_OUTPUT", "AAZ_READ_FAILED", "AAZ_WRITE_FAILED", "AAZ_NOT_PACKED",
              "AAZ_UNSUPPORTED_VERSION", "AAZ_DAMAGED", "AAZ_VERIFY_FAILED", "AAZ_NULL_ARGUMENT",
              "AAZ_BAD_ARGUMENT", "AAZ_WRONG_DIRECTION", "AAZ_STREAM_FAILED", "AAZ_OUTPUT_TOO_SMALL",
              "AAZ_MEMORY_LIMIT", "AAZ_NO_MEMORY", "AAZ_ALREADY_PACKED", "AAZ_BUILD_FAULT"]

    def __init__(self, code, message=""):
        self.code = code
        self.name = self._NAMES[code] if 0 <= code < len(self._NAMES) else "AAZ_%d" % code
        self.message = message or _lib.aaz_strerror(code).decode()
        super().__init__("%s (%s)" % (self.message, self.name))


@dataclass
class Info:
    """What a packed file holds, or what packing found."""
    format_version: int
    original_bytes: int
    packed_bytes: int
    chunks: int
    chunks_by_method: dict = field(default_factory=dict)  # method name -> count
    units: str = ""  # packing: the container or stream whose access units were coded


def format_version():
    """The packed-form version the library writes."""
    return _lib.aaz_format_version()


def library_version():
    return _lib.aaz_version_string().decode()


def _options(threads=0, memory_limit=0, input_size=0):
    o = _Options()
    _lib.aaz_options_init_sized(ctypes.byref(o), ctypes.sizeof(o))
    o.threads = threads
    o.memory_limit = memory_limit
    o.input_size = input_size
    return o


def _new_info():
    i = _Info()
    _lib.aaz_info_init_sized(ctypes.byref(i), ctypes.sizeof(i))
    return i


def _info_of(i):
    methods = {}
    for m in range(_METHODS):
        name = _lib.aaz_method_name(m)
        if name is not None and i.chunks_by_method[m]:
            methods[name.decode()] = i.chunks_by_method[m]
    return Info(i.format_version, i.original_bytes, i.packed_bytes, i.chunks, methods, i.units.decode())


def _check(result, info=None):
    if result not in (_AAZ_OK, _AAZ_MORE_OUTPUT):
        raise AazError(result, info.message.decode() if info is not None else "")
    return result


def _buffer(data):
    """A bytes-like object as a pointer and length the library may read (no copy for bytes)."""
    if isinstance(data, bytes):
        return ctypes.c_char_p(data), len(data)
    view = memoryview(data).cast("B")
    if view.readonly:
        return ctypes.c_char_p(view.tobytes()), view.nbytes
    return (ctypes.c_char * view.nbytes).from_buffer(view), view.nbytes


def pack(data, *, threads=0):
    """The packed form of data (bytes-like), as the program packs a file of those bytes."""
    src, n = _buffer(data)
    out = ctypes.create_string_buffer(_lib.aaz_pack_bound(n) or 1)
    size = ctypes.c_size_t()
    info = _new_info()
    _check(_lib.aaz_pack(ctypes.byref(_options(threads)), src, n, out, len(out), ctypes.byref(size),
                         ctypes.byref(info)), info)
    return out.raw[:size.value]


def unpack(data, *, threads=0, memory_limit=0):
    """The bytes a packed buffer holds, every checksum checked."""
    src, n = _buffer(data)
    length = ctypes.c_uint64()
    _check(_lib.aaz_unpacked_size(src, n, ctypes.byref(length)))
    out = ctypes.create_string_buffer(length.value or 1)
    size = ctypes.c_size_t()
    info = _new_info()
    _check(_lib.aaz_unpack(ctypes.byref(_options(threads, memory_limit)), src, n, out, length.value,
                           ctypes.byref(size), ctypes.byref(info)), info)
    return out.raw[:size.value]


class _Stream:
    """A streaming context of the library, in one direction, freed when closed."""

    def __init__(self, begin, options):
        self.handle = ctypes.c_void_p()
        self.options = options  # kept alive as long as the context
        _check(begin(ctypes.byref(self.handle), ctypes.byref(options)))

    def info(self):
        i = _new_info()
        _lib.aaz_stream_info(self.handle, ctypes.byref(i))
        return i

    def fail(self, result):
        raise AazError(result, self.info().message.decode())

    def end(self):
        if self.handle:
            _lib.aaz_stream_end(self.handle)
            self.handle = ctypes.c_void_p()


def _pump(stream, update, data, out):
    """Hands data to an update call until it is all taken, writing what comes out to out."""
    src, n = _buffer(data)
    base = ctypes.cast(src, ctypes.c_void_p).value or 0
    buf = ctypes.create_string_buffer(_PIECE)
    used = ctypes.c_size_t()
    written = ctypes.c_size_t()
    at = 0
    while at < n:
        r = update(stream.handle, ctypes.c_void_p(base + at), n - at, ctypes.byref(used), buf, len(buf),
                   ctypes.byref(written))
        if r != _AAZ_OK:
            stream.fail(r)
        at += used.value
        if written.value:
            out(buf.raw[:written.value])


def _drain(stream, finish, out):
    """Ends the input and hands the rest of the output over."""
    buf = ctypes.create_string_buffer(_PIECE)
    written = ctypes.c_size_t()
    while True:
        r = finish(stream.handle, buf, len(buf), ctypes.byref(written))
        if written.value:
            out(buf.raw[:written.value])
        if r == _AAZ_OK:
            return
        if r != _AAZ_MORE_OUTPUT:
            stream.fail(r)


class PackedFile(io.RawIOBase):
    """A packed file opened to read what it holds ("rb") or to pack what is written ("wb"),
    streaming through the library: memory stays bounded whatever the size."""

    def __init__(self, file, mode="rb", *, threads=0, memory_limit=0):
        super().__init__()
        if mode not in ("r", "rb", "w", "wb", "x", "xb"):
            raise ValueError("mode must be 'rb' or 'wb' (or 'xb'), not %r" % mode)
        self._reading = mode.startswith("r")
        if isinstance(file, (str, bytes, os.PathLike)):
            self._file = builtins.open(file, mode if mode.endswith("b") else mode + "b")
            self._own = True
        else:
            self._file = file
            self._own = False
        begin = _lib.aaz_unpack_begin if self._reading else _lib.aaz_pack_begin
        self._stream = _Stream(begin, _options(threads, memory_limit))
        self._pending = b""  # unpacked bytes read but not yet handed out
        self._input_done = False
        self._closed_stream = False

    def readable(self):
        return self._reading

    def writable(self):
        return not self._reading

    def readinto(self, b):
        if not self._reading:
            raise io.UnsupportedOperation("not opened for reading")
        while not self._pending and not self._input_done:
            piece = self._file.read(_PIECE)
            chunks = []
            if piece:
                _pump(self._stream, _lib.aaz_unpack_update, piece, chunks.append)
            else:
                _drain(self._stream, _lib.aaz_unpack_finish, chunks.append)
                self._input_done = True
            self._pending = b"".join(chunks)
        n = min(len(b), len(self._pending))
        b[:n] = self._pending[:n]
        self._pending = self._pending[n:]
        return n

    def write(self, b):
        if self._reading:
            raise io.UnsupportedOperation("not opened for writing")
        data = bytes(b)
        _pump(self._stream, _lib.aaz_pack_update, data, self._file.write)
        return len(data)

    def info(self):
        """What the stream found so far (all of it once closed)."""
        return _info_of(self._stream.info())

    def close(self):
        if self.closed:
            return
        try:
            if not self._reading and not self._closed_stream:
                self._closed_stream = True
                _drain(self._stream, _lib.aaz_pack_finish, self._file.write)
        finally:
            self._stream.end()
            if self._own:
                self._file.close()
            super().close()


def open(file, mode="rb", *, threads=0, memory_limit=0):
    """A file object over a packed file (a name, a path or a binary file object): "rb"
    unpacks what is read, "wb" (or "xb") packs what is written. Use it as a context manager,
    or close it: packing ends only then."""
    f = PackedFile(file, mode, threads=threads, memory_limit=memory_limit)
    return io.BufferedReader(f) if f.readable() else io.BufferedWriter(f)


def _check_file(path, threads):
    stream = _Stream(_lib.aaz_test_begin, _options(threads))
    try:
        with builtins.open(path, "rb") as f:
            used = ctypes.c_size_t()
            while True:
                piece = f.read(_PIECE)
                if not piece:
                    break
                src, n = _buffer(piece)
                base = ctypes.cast(src, ctypes.c_void_p).value or 0
                at = 0
                while at < n:
                    r = _lib.aaz_test_update(stream.handle, ctypes.c_void_p(base + at), n - at, ctypes.byref(used))
                    if r != _AAZ_OK:
                        stream.fail(r)
                    at += used.value
        r = _lib.aaz_test_finish(stream.handle)
        if r != _AAZ_OK:
            stream.fail(r)
        return _info_of(stream.info())
    finally:
        stream.end()


def test(path, *, threads=0):
    """Unpacks a packed file without keeping anything and checks every checksum: True, or
    AazError naming the problem."""
    _check_file(path, threads)
    return True


def info(path, *, threads=0):
    """A packed file's format version, original and packed sizes and chunks by method (Info),
    read as test() reads it."""
    return _check_file(path, threads)
