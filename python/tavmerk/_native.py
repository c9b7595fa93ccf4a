"""The C library, loaded once, with the signature of each function used."""

import ctypes
import errno as _errno
import os
import sys

OK = 0
ERROR_SYSTEM = 1
ERROR_DAMAGED = 2
ERROR_NOT_FOUND = 3
ERROR_REFUSED = 4
ERROR_CONFLICT = 5
ERROR_TOO_LARGE = 6
ERROR_EXISTS = 7
ERROR_CANCELLED = 8
ERROR_INVALID = 9
ERROR_INCOMPLETE = 10
ERROR_STALE = 11
ERROR_NO_VERSION = 12

READ, UPDATE, CREATE = 0, 1, 2
KIND_STORED, KIND_ZLIB, KIND_DELETED, KIND_FOLDER = 0, 1, 2, 3
ENTRY_UNSAFE, ENTRY_SHOWN = 1, 2
NAME_FILE, NAME_FOLDER = 0, 1
EXISTING_KEEP, EXISTING_SKIP, EXISTING_REPLACE = 0, 1, 2
NO_PLACE = 2**64 - 1
VERSION_TIME_KNOWN, VERSION_COUNTS_KNOWN, VERSION_DATA_KEPT = 1, 2, 4


class Entry(ctypes.Structure):
    _fields_ = [
        ("path", ctypes.c_void_p),
        ("path_length", ctypes.c_size_t),
        ("place", ctypes.c_uint64),
        ("stored_size", ctypes.c_uint32),
        ("expanded_size", ctypes.c_uint32),
        ("checksum", ctypes.c_uint32),
        ("data_offset", ctypes.c_uint32),
        ("kind", ctypes.c_int32),
        ("flags", ctypes.c_uint32),
    ]


class VersionInfo(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("time", ctypes.c_uint64),
        ("files", ctypes.c_uint32),
        ("added", ctypes.c_uint32),
        ("changed", ctypes.c_uint32),
        ("removed", ctypes.c_uint32),
        ("summary", ctypes.c_char_p),
    ]


PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64)
PROBLEM = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_char_p)
LEFT_OUT = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_int, ctypes.c_int)
READER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_void_p, ctypes.c_size_t)

if sys.platform == "win32":
    _NAMES = ("tavmerk.dll",)
elif sys.platform == "darwin":
    _NAMES = ("libtavmerk.1.dylib", "libtavmerk.dylib")
else:
    _NAMES = ("libtavmerk.so.1",)


def _candidates():
    """Beside this package (in it, beside its folder, or in the lib/ of the
    prefix it is installed under, lib/python3/dist-packages/tavmerk), then
    TAVMERK_LIBRARY (the file, or its folder), then what the system loader
    finds."""
    here = os.path.dirname(os.path.abspath(__file__))
    beside = os.path.dirname(here)
    prefix_lib = os.path.dirname(os.path.dirname(beside))
    for folder in (here, beside, prefix_lib):
        for name in _NAMES:
            yield os.path.join(folder, name)
    chosen = os.environ.get("TAVMERK_LIBRARY")
    if chosen:
        if os.path.isdir(chosen):
            for name in _NAMES:
                yield os.path.join(chosen, name)
        else:
            yield chosen
    yield from _NAMES


def _load():
    tried = []
    for candidate in _candidates():
        if os.path.isabs(candidate) and not os.path.exists(candidate):
            continue
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            tried.append("%s (%s)" % (candidate, error))
    raise ImportError("libtavmerk not found; set TAVMERK_LIBRARY to it. Tried: " + "; ".join(tried))


lib = _load()

_P = ctypes.c_void_p
_S = ctypes.c_char_p
_SIGNATURES = {
    "tavmerk_version": (_S, []),
    "tavmerk_last_error": (_S, []),
    "tavmerk_last_system_error": (ctypes.c_int, []),
    "tavmerk_open": (ctypes.c_int, [_S, ctypes.c_int, ctypes.POINTER(_P)]),
    "tavmerk_close": (None, [_P]),
    "tavmerk_reload": (ctypes.c_int, [_P]),
    "tavmerk_entries": (ctypes.c_int, [_P, ctypes.POINTER(ctypes.POINTER(Entry)), ctypes.POINTER(ctypes.c_size_t)]),
    "tavmerk_stream_open": (ctypes.c_int, [_P, ctypes.c_uint64, ctypes.POINTER(_P)]),
    "tavmerk_stream_read": (ctypes.c_int, [_P, _P, ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]),
    "tavmerk_stream_seek": (ctypes.c_int, [_P, ctypes.c_uint64]),
    "tavmerk_stream_size": (ctypes.c_uint64, [_P]),
    "tavmerk_stream_close": (None, [_P]),
    "tavmerk_verify": (ctypes.c_int, [_P, PROBLEM, _P, PROGRESS, _P]),
    "tavmerk_extract": (ctypes.c_int, [_P, _S, ctypes.POINTER(_S), ctypes.c_size_t, ctypes.POINTER(ctypes.c_uint64),
                                       ctypes.c_size_t, ctypes.c_int, LEFT_OUT, _P, PROGRESS, _P]),
    "tavmerk_put_bytes": (ctypes.c_int, [_P, _S, _P, ctypes.c_size_t, ctypes.c_int]),
    "tavmerk_put_file": (ctypes.c_int, [_P, _S, _S, ctypes.c_int]),
    "tavmerk_put_reader": (ctypes.c_int, [_P, _S, ctypes.c_uint64, READER, _P, ctypes.c_int]),
    "tavmerk_remove": (ctypes.c_int, [_P, _S]),
    "tavmerk_remove_place": (ctypes.c_int, [_P, ctypes.c_uint64]),
    "tavmerk_rename": (ctypes.c_int, [_P, _S, _S]),
    "tavmerk_rename_place": (ctypes.c_int, [_P, ctypes.c_uint64, _S]),
    "tavmerk_mkdir": (ctypes.c_int, [_P, _S]),
    "tavmerk_check_name": (ctypes.c_int, [_P, _S, ctypes.c_int]),
    "tavmerk_staged": (ctypes.c_size_t, [_P]),
    "tavmerk_commit": (ctypes.c_int, [_P, PROGRESS, _P]),
    "tavmerk_discard": (ctypes.c_int, [_P]),
    "tavmerk_create": (ctypes.c_int, [_S, _S, PROGRESS, _P]),
    "tavmerk_commit_summary": (ctypes.c_int, [_P, _S, PROGRESS, _P]),
    "tavmerk_versions": (ctypes.c_int, [_P, ctypes.POINTER(ctypes.POINTER(VersionInfo)),
                                        ctypes.POINTER(ctypes.c_size_t), ctypes.POINTER(ctypes.c_int)]),
    "tavmerk_open_version": (ctypes.c_int, [_S, _S, ctypes.POINTER(_P)]),
    "tavmerk_undo": (ctypes.c_int, [_P, _S, _S]),
}


class _Functions:
    """Each C function, its signature set when it is first used."""

    def __getattr__(self, name):
        function = getattr(lib, "tavmerk_" + name)
        function.restype, function.argtypes = _SIGNATURES["tavmerk_" + name]
        setattr(self, name, function)
        return function


c = _Functions()


def last_error():
    """The calling thread's message and system error code."""
    message = c.last_error()
    return (message.decode("utf-8", "surrogateescape") if message else ""), c.last_system_error()


def system_error(code, message, filename=None):
    """OSError (or its subclass) for the system's `code`."""
    if sys.platform == "win32" and code:
        return OSError(None, message, filename, code)
    return OSError(code or _errno.EIO, message, filename)
