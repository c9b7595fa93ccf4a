"""Pack archives from Python, with the interface of the standard zipfile.

    import tavmerk
    with tavmerk.PackFile("game.pak") as pack:
        for info in pack.infolist():
            print(info.filename, info.file_size)
        data = pack.read("docs/readme.txt")

    with tavmerk.PackFile("game.pak", "a") as pack:   # one commit at close()
        pack.writestr("docs/new.txt", b"hello")
        pack.remove("docs/old.txt")

Names are bytes in the archive and str here (os.fsdecode, os.fsencode), so
any name round-trips; a record below a top-level folder with an empty name
is named "/name", its path in the directory. A name is checked when it is
staged: ValueError then, and nothing staged. Where two records give one path, the first in
directory order is the one a name reaches (as "/E" writes it); every
PackInfo from infolist() reaches its own record, shadowed or hostile. A
folder is named with or without its trailing "/". The library is pure
Python over libtavmerk (found beside this package, then through the
TAVMERK_LIBRARY variable, then by the system's loader).
"""

import errno
import gc
import io
import os
import stat
import struct
from operator import itemgetter as _itemgetter
import tempfile
import threading
import time as _time
import warnings
from collections import namedtuple

from . import _native
from ._native import c as _c

__all__ = ["PackFile", "PackInfo", "PackVersion", "BadPack", "ExtractError", "Cancelled", "STORED", "ZLIB", "create",
           "is_packfile"]

#: compress_type of a record whose data is stored raw.
STORED = 0
#: compress_type of a record whose data is a zlib stream.
ZLIB = 1

_STORAGE = {None: 0, STORED: 1, ZLIB: 2}
# A new bytes object of a given size, its content to be filled in (CPython).
try:
    _new_bytes = _native.ctypes.pythonapi.PyBytes_FromStringAndSize
    _new_bytes.restype = _native.ctypes.py_object
    _new_bytes.argtypes = [_native.ctypes.c_void_p, _native.ctypes.c_ssize_t]
except AttributeError:
    _new_bytes = None
# tavmerk_entry as the C compiler lays it out.
_ENTRY = struct.Struct("@PNQIIIIiI")
_LEFT_OUT_WORDS = {
    1: "exists already",
    2: "has a \"..\" level in its path",
    3: "has its data outside the file",
    4: "cannot be created",
    5: "could not be written",
    6: "has a damaged stream (written as far as it inflated)",
}


class BadPack(Exception):
    """The archive, or a record's data, is damaged."""


class Cancelled(Exception):
    """A progress callback returned False: the archive is as it was."""


class ExtractError(Exception):
    """Extraction left records out; `left_out` lists (name, why) for each,
    in directory order. Everything else was written."""

    def __init__(self, left_out):
        self.left_out = left_out
        super().__init__("left out: " + ", ".join("%s (%s)" % pair for pair in left_out))


def _fail(status, filename=None, missing=None):
    """Raises the exception for a C status."""
    message, code = _native.last_error()
    if status == _native.ERROR_DAMAGED:
        raise BadPack(message)
    if status == _native.ERROR_NOT_FOUND:
        raise KeyError(missing if missing is not None else message)
    if status in (_native.ERROR_STALE, _native.ERROR_NO_VERSION):
        raise KeyError(message)
    if status in (_native.ERROR_REFUSED, _native.ERROR_CONFLICT, _native.ERROR_INVALID):
        raise ValueError(message)
    if status == _native.ERROR_EXISTS:
        raise FileExistsError(17, message, filename)
    if status == _native.ERROR_CANCELLED:
        raise Cancelled(message)
    if status == _native.ERROR_TOO_LARGE:
        raise OSError(errno.EFBIG, message, filename)
    raise _native.system_error(code, message, filename)


def _check(status, filename=None, missing=None):
    if status != _native.OK:
        _fail(status, filename, missing)


class PackInfo(tuple):
    """One entry of the archive: a file, or a folder (is_dir(), filename
    ending in "/").

    filename: its path, levels joined by "/"; file_size: the bytes it
    expands to; compress_size: the bytes it takes in the archive;
    compress_type: STORED or ZLIB; data_offset: where its data starts in the
    archive; checksum: the record's checksum of its stored bytes; place: its
    index in directory order. Read-only: a PackInfo stands for one record
    of the archive as it was loaded. Where another process has committed
    since, it still reaches its record while that record (the same sizes,
    checksum and data offset) is at its path; otherwise reading it by
    remove(), rename() or extract() raises KeyError (at the commit, for the
    first two).
    """

    __slots__ = ()

    filename = property(_itemgetter(0), doc="The path, levels joined by \"/\" (a folder's ends in \"/\").")
    file_size = property(_itemgetter(1), doc="The bytes its content expands to.")
    compress_size = property(_itemgetter(2), doc="The bytes its data takes in the archive.")
    compress_type = property(_itemgetter(3), doc="STORED or ZLIB.")
    data_offset = property(_itemgetter(4), doc="Where its data starts in the archive (0 for a folder).")
    checksum = property(_itemgetter(5), doc="The record's checksum of its stored bytes.")
    place = property(_itemgetter(6), doc="Its index in directory order.")
    _folder = property(_itemgetter(7))
    _load = property(_itemgetter(8))

    def is_dir(self):
        """True for a folder."""
        return self[7]

    def __repr__(self):
        return "<PackInfo filename=%r file_size=%d compress_size=%d>" % (
            self.filename, self.file_size, self.compress_size)

    # Two PackInfo are the same only when they are one object: each stands
    # for its own record of its own load.
    __eq__ = object.__eq__
    __ne__ = object.__ne__
    __hash__ = object.__hash__


PackVersion = namedtuple("PackVersion", "version time files added changed removed summary data_kept")
PackVersion.__doc__ = """One version of the archive: its tree after a commit.

version: its id (ids count commits up from the first recorded); time: its
commit's time, "YYYY-MM-DDTHH:MM:SSZ" in UTC, or None where unknown; files:
its live files; added, changed, removed: files against the version before,
by path (None for the oldest version listed); summary: what made the commit
("python commit" for a commit from here); data_kept: False once compact has
dropped its data (it can no longer be opened or undone to)."""


class _Loaded:
    """One load of the directory: every live entry as PackInfo, and the
    entries names reach."""

    def __init__(self, handle):
        table = _native.ctypes.POINTER(_native.Entry)()
        count = _native.ctypes.c_size_t()
        _check(_c.entries(handle, _native.ctypes.byref(table), _native.ctypes.byref(count)))
        self.infos = []
        self.by_name = {}
        n = count.value
        if n == 0:
            return
        first = table[0]
        last = table[n - 1]
        raw = _native.ctypes.string_at(_native.ctypes.addressof(table.contents), n * _native.ctypes.sizeof(_native.Entry))
        base = first.path
        names = _native.ctypes.string_at(base, last.path - base + last.path_length)
        # All ASCII (the usual case): decoded once, sliced at the same
        # offsets; otherwise each name on its own.
        text = names.decode("ascii") if names.isascii() else None
        fsdecode = os.fsdecode
        new = tuple.__new__
        infos = self.infos
        by_name = self.by_name
        folder_kind, deleted_kind, zlib_kind, shown = (_native.KIND_FOLDER, _native.KIND_DELETED, _native.KIND_ZLIB,
                                                       _native.ENTRY_SHOWN)
        # Many objects made and none freed: the collector would only walk
        # them again and again.
        collecting = gc.isenabled()
        gc.disable()
        try:
            for path, length, place, stored, expanded, checksum, offset, kind, flags in _ENTRY.iter_unpack(raw):
                if kind == deleted_kind:
                    continue
                start = path - base
                name = text[start:start + length] if text is not None else fsdecode(names[start:start + length])
                folder = kind == folder_kind
                if folder:
                    name += "/"
                info = new(PackInfo, (name, expanded, stored, ZLIB if kind == zlib_kind else STORED, offset,
                                      checksum, place, folder, self))
                infos.append(info)
                if flags & shown and name not in by_name:
                    by_name[name] = info
        finally:
            if collecting:
                gc.enable()


class PackExtFile(io.BufferedIOBase):
    """One file's content, read as it is asked for and seekable; memory stays
    bounded whatever its size. Reading to the end checks the record's
    checksum and its zlib stream: BadPack when they do not hold."""

    def __init__(self, handle, info):
        super().__init__()
        stream = _native.ctypes.c_void_p()
        _check(_c.stream_open(handle, info.place, _native.ctypes.byref(stream)))
        self._stream = stream
        self._size = info.file_size
        self._position = 0
        self.name = info.filename

    def readable(self):
        """True: the content can be read."""
        return True

    def seekable(self):
        """True: any position can be read from."""
        return True

    def _live(self):
        if self._stream is None:
            raise ValueError("I/O operation on closed file.")

    def tell(self):
        """The position in the content."""
        self._live()
        return self._position

    def seek(self, offset, whence=io.SEEK_SET):
        """Moves to `offset` from the start, the position or the end."""
        self._live()
        if whence == io.SEEK_CUR:
            offset += self._position
        elif whence == io.SEEK_END:
            offset += self._size
        elif whence != io.SEEK_SET:
            raise ValueError("invalid whence (%r)" % whence)
        if offset < 0:
            raise ValueError("negative seek position %d" % offset)
        _check(_c.stream_seek(self._stream, offset))
        self._position = offset
        return offset

    def readinto(self, buffer):
        """Reads into `buffer` (a writable bytes-like object); 0 at the end."""
        self._live()
        view = memoryview(buffer).cast("B")
        if len(view) == 0:
            return 0
        target = (_native.ctypes.c_char * len(view)).from_buffer(view)
        got = _native.ctypes.c_size_t()
        _check(_c.stream_read(self._stream, target, len(view), _native.ctypes.byref(got)))
        self._position += got.value
        return got.value

    def read(self, size=-1):
        """Up to `size` bytes (all that is left when negative or None)."""
        self._live()
        left = max(self._size - self._position, 0)
        if size is None or size < 0 or size > left:
            size = left
        if size == 0:
            if left == 0:
                # At the end: the read still checks what reaching it checks.
                self.readinto(bytearray(1))
            return b""
        if _new_bytes is None:
            buffer = bytearray(size)
            got = self.readinto(buffer)
            del buffer[got:]
            return bytes(buffer)
        # Read straight into a new bytes object, not yet seen by anyone:
        # neither zeroed first nor copied after.
        data = _new_bytes(None, size)
        got = _native.ctypes.c_size_t()
        _check(_c.stream_read(self._stream, data, size, _native.ctypes.byref(got)))
        self._position += got.value
        return data if got.value == size else data[:got.value]

    def read1(self, size=-1):
        """As read(): every read is served by one call of the library."""
        return self.read(size)

    def readinto1(self, buffer):
        """As readinto()."""
        return self.readinto(buffer)

    def close(self):
        """Lets go of the stream."""
        if self._stream is not None:
            _c.stream_close(self._stream)
            self._stream = None
        super().close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass


class _PackWriter(io.BufferedIOBase):
    """A new file's content, staged as the archive's when it is closed."""

    def __init__(self, pack, name, compress_type):
        super().__init__()
        self._pack = pack
        self._name = name
        self._compress_type = compress_type
        self._buffer = tempfile.SpooledTemporaryFile(max_size=16 << 20)

    def writable(self):
        """True: content is written to it."""
        return True

    def write(self, data):
        """Appends `data`; returns the bytes taken."""
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        return self._buffer.write(data)

    def close(self):
        """Stages the content written."""
        if self.closed:
            return
        super().close()
        self._pack._writers.discard(self)
        self._pack._put_spooled(self._name, self._buffer, self._compress_type)


class PackFile:
    """An archive open for reading ("r"), for changes ("a": made at close()
    when missing) or new ("x": refused where the path exists). With `at`
    (mode "r"), the archive as it was at that version: an id (int) or "~K"
    (K commits before the version in force), read as the current one is;
    KeyError when the history does not hold it or its data was dropped.

    Changes (write, writestr, open(name, "w"), remove, rename, mkdir) are
    staged and committed at once, crash-safe, by close() or commit(); an
    exception inside the with block discards them. Reads see the archive as
    last committed. Use after close() raises ValueError.
    """

    def __init__(self, file, mode="r", at=None):
        if mode not in ("r", "a", "x"):
            raise ValueError("PackFile requires mode 'r', 'a' or 'x'")
        if at is not None and mode != "r":
            raise ValueError("an earlier version is opened with mode 'r' only")
        self.filename = os.fspath(file)
        self.mode = mode
        self._lock = threading.RLock()
        self._keep = []  # what staged readers use, until the commit
        self._writers = set()  # open(name, "w") not closed yet
        handle = _native.ctypes.c_void_p()
        path = os.fsencode(self.filename)
        if mode == "r":
            c_mode = _native.READ
        elif mode == "x":
            c_mode = _native.CREATE
        else:
            c_mode = _native.UPDATE if os.path.exists(self.filename) else _native.CREATE
        self._handle = None
        if at is None:
            _check(_c.open(path, c_mode, _native.ctypes.byref(handle)), self.filename)
        else:
            _check(_c.open_version(path, _version_text(at), _native.ctypes.byref(handle)), self.filename)
        self._handle = handle
        self._new = c_mode == _native.CREATE
        self._loaded = None if self._new else _Loaded(handle)

    # --- life

    def __enter__(self):
        """The PackFile itself."""
        return self

    def __exit__(self, kind, value, traceback):
        """close() when the block ends normally; with an exception (any,
        KeyboardInterrupt included) the staged changes are discarded."""
        if kind is None:
            self.close()
        else:
            self._discard_and_close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None:
            try:
                warnings.warn("PackFile %r was never closed: its staged changes are discarded" % self.filename,
                              ResourceWarning, source=self)
                self._discard_and_close()
            except Exception:
                pass  # at interpreter exit, what it needs may be gone already

    def __repr__(self):
        return "<tavmerk.PackFile filename=%r mode=%r%s>" % (self.filename, self.mode,
                                                              "" if self._handle else " [closed]")

    def _live(self):
        if self._handle is None:
            raise ValueError("Attempt to use a closed PackFile")
        return self._handle

    def _writable(self):
        handle = self._live()
        if self.mode == "r":
            raise ValueError("write() requires mode 'a' or 'x'")
        return handle

    def close(self):
        """Commits what is staged (modes "a" and "x") and closes. When the
        commit fails, OSError (or BadPack) is raised, the archive is as it
        was, and the file is closed all the same."""
        with self._lock:
            if self._handle is None:
                return
            try:
                # What is still being written is staged first, as written.
                for writer in list(self._writers):
                    writer.close()
                if self.mode != "r" and (self._new or _c.staged(self._handle)):
                    self.commit()
            finally:
                self._discard_and_close()

    def _discard_and_close(self):
        with self._lock:
            if self._handle is not None:
                _c.close(self._handle)
                self._handle = None
                self._release_kept()
                for writer in list(self._writers):
                    writer._buffer.close()
                self._writers.clear()

    def _release_kept(self):
        for _callback, spooled in self._keep:
            spooled.close()
        self._keep = []

    def commit(self, progress=None):
        """Commits what is staged in one crash-safe commit; more may be
        staged after it. `progress(bytes, records)` is told how far it got
        and cancels it by returning False (Cancelled is raised) or by
        raising (the exception is raised again); the archive is then as it
        was and the changes stay staged."""
        with self._lock:
            handle = self._writable()
            callback = _Progress(progress)
            callback.check(_c.commit_summary(handle, b"python commit", callback.function, None), self.filename)
            self._release_kept()
            self._new = False
            self._loaded = _Loaded(handle)

    def undo(self, to=None):
        """Makes version `to` (an id, or "~K"; None: "~1", the version
        before) the archive's tree again, in one commit of its own that a
        later undo() can undo, and reloads. Mode "a" with nothing staged
        (ValueError otherwise); KeyError for a version the history does
        not hold or whose data was dropped."""
        with self._lock:
            handle = self._writable()
            text = None if to is None else _version_text(to)
            try:
                _check(_c.undo(handle, text, None), self.filename)
            finally:
                if not self._new:
                    self._loaded = _Loaded(handle)

    def versions(self):
        """The archive's versions as PackVersion, newest first: the first is
        the one in force when the archive was last loaded (also when it was
        opened at an earlier version). Empty for a new archive not yet
        committed."""
        with self._lock:
            handle = self._live()
            if self._new:
                return []
            table = _native.ctypes.POINTER(_native.VersionInfo)()
            count = _native.ctypes.c_size_t()
            _check(_c.versions(handle, _native.ctypes.byref(table), _native.ctypes.byref(count), None))
            return [_version_of(table[i]) for i in range(count.value)]

    # --- reading

    def _current(self):
        self._live()
        if self._loaded is None:
            return _EMPTY
        return self._loaded

    def infolist(self):
        """Every live file and folder as PackInfo, in directory order
        (deleted records left out; shadowed and hostile ones included)."""
        return list(self._current().infos)

    def namelist(self):
        """The names of infolist(), folders ending in "/"."""
        return [info.filename for info in self._current().infos]

    def _info(self, name):
        """The PackInfo `name` reaches: a PackInfo of this load itself, or
        the first entry "/E" writes at that path."""
        loaded = self._current()
        if isinstance(name, PackInfo):
            if name._load is not loaded:
                raise KeyError("%r is from an earlier load of the archive" % name.filename)
            return name
        name = os.fsdecode(name)
        info = loaded.by_name.get(name)
        if info is None and not name.endswith("/"):
            info = loaded.by_name.get(name + "/")
        if info is None:
            raise KeyError("There is no item named %r in the archive" % name)
        return info

    def getinfo(self, name):
        """The PackInfo of `name` (KeyError when there is none)."""
        return self._info(name)

    def open(self, name, mode="r"):
        """A seekable binary file object: reading the content of `name` (a
        name or a PackInfo) as it is asked for, or with mode "w", a new file
        staged at `name` when it is closed."""
        if mode == "w":
            with self._lock:
                handle = self._writable()
                arcname = self._arcname(name)
                _check(_c.check_name(handle, _encoded(arcname), _native.NAME_FILE))
                writer = _PackWriter(self, arcname, None)
                self._writers.add(writer)
                return writer
        if mode != "r":
            raise ValueError('open() requires mode "r" or "w"')
        with self._lock:
            info = self._info(name)
            if info.is_dir():
                raise IsADirectoryError("%r is a folder" % info.filename)
            return PackExtFile(self._handle, info)

    def read(self, name):
        """The whole content of `name`, checked (BadPack when damaged)."""
        with self.open(name) as stream:
            return stream.read()

    def testpack(self):
        """Checks every live record's data, checksum and stream: the name of
        the first damaged one, or None. BadPack when the directory itself is
        damaged."""
        with self._lock:
            handle = self._live()
            if self._loaded is None:
                return None
            found = []

            def problem(_context, place, _message):
                found.append(place)
                return 0

            callback = _native.PROBLEM(problem)
            status = _c.verify(handle, callback, None, _native.PROGRESS(0), None)
            if status not in (_native.OK, _native.ERROR_DAMAGED) or (status == _native.ERROR_DAMAGED and not found):
                _fail(status, self.filename)
            if not found:
                return None
            if found[0] == _native.NO_PLACE:
                raise BadPack("%s: bad directory_crc" % self.filename)
            return self._by_place(found[0]).filename

    def _by_place(self, place):
        for info in self._current().infos:
            if info.place == place:
                return info
        raise KeyError(place)

    def extract(self, member, path=None):
        """Writes `member` (a name or PackInfo; a folder: the files below
        it) under `path` (the current folder by default) as "/E" writes it,
        never outside it nor over an existing file; returns the path
        written. ExtractError when it was left out; KeyError when it is a
        PackInfo whose record has left its path since (another process
        committed)."""
        with self._lock:
            info = self._info(member)
            infos = [info]
            if info.is_dir():
                # The files "/E" writes below it.
                loaded = self._current()
                infos = [i for i in loaded.infos
                         if i.filename.startswith(info.filename) and loaded.by_name.get(i.filename) is i]
            target = os.getcwd() if path is None else os.fspath(path)
            self._extract(target, infos)
            return os.path.join(target, *info.filename.rstrip("/").split("/"))

    def extractall(self, path=None, members=None):
        """Writes every live file (or those of `members`, names or PackInfo)
        under `path` as "/E" writes them; goes on past what it leaves out,
        then raises ExtractError naming each."""
        with self._lock:
            target = os.getcwd() if path is None else os.fspath(path)
            infos = None if members is None else [self._info(m) for m in members]
            self._extract(target, infos)

    def _extract(self, target, infos):
        handle = self._live()
        if self._loaded is None:
            return
        left_out = []

        def tell(_context, place, reason, error):
            why = _LEFT_OUT_WORDS.get(reason, "left out")
            if error:
                why += ": " + os.strerror(error)
            left_out.append((place, why))

        callback = _native.LEFT_OUT(tell)
        places = None
        count = 0
        if infos is not None:
            places_list = [i.place for i in infos]
            if not places_list:
                return
            count = len(places_list)
            places = (_native.ctypes.c_uint64 * count)(*places_list)
        os.makedirs(target, exist_ok=True)
        status = _c.extract(handle, os.fsencode(target), None, 0, places, count, _native.EXISTING_KEEP, callback,
                            None, _native.PROGRESS(0), None)
        if status == _native.ERROR_INCOMPLETE:
            raise ExtractError([(self._by_place(p).filename if p != _native.NO_PLACE else "?", why)
                                for p, why in left_out])
        _check(status, target)

    # --- changes

    def _arcname(self, name):
        if isinstance(name, PackInfo):
            return name.filename
        return os.fsdecode(name)

    def writestr(self, arcname, data, compress_type=None):
        """Stages `data` (bytes, or str as UTF-8) as the file `arcname` (a
        name or PackInfo); a name ending in "/" makes a folder.
        compress_type: STORED, ZLIB, or None to choose as `add` does (zlib
        when smaller)."""
        with self._lock:
            handle = self._writable()
            name = self._arcname(arcname)
            if isinstance(data, str):
                data = data.encode("utf-8")
            if name.endswith("/"):
                if data:
                    raise ValueError("a folder %r holds no data" % name)
                return self.mkdir(name)
            data = bytes(data)
            _check(_c.put_bytes(handle, _encoded(name), data, len(data), _storage(compress_type)))

    def write(self, filename, arcname=None, compress_type=None):
        """Stages the file `filename` at `arcname` (by default the path as
        given, with "/" separators); a folder is staged with its whole tree.
        `filename` itself may be a link (what it leads to is staged); inside
        a folder, links, FIFOs and other special files, and names the
        archive cannot hold, are left out with a warning, as `tavmerk-util
        add` leaves them out."""
        with self._lock:
            self._writable()
            source = os.fspath(filename)
            if arcname is None:
                name = os.fsdecode(source).replace(os.sep, "/")
                if os.altsep:
                    name = name.replace(os.altsep, "/")
            else:
                name = self._arcname(arcname)
            name = name.rstrip("/") if len(name) > 1 else name
            mode = os.stat(source).st_mode
            if stat.S_ISDIR(mode):
                self._write_tree(source, name, compress_type)
            elif stat.S_ISREG(mode):
                self._put_file(os.path.realpath(source), name, compress_type)
            else:
                raise OSError(errno.EINVAL, "not a regular file or folder", source)

    def _put_file(self, source, name, compress_type):
        _check(_c.put_file(self._handle, _encoded(name), os.fsencode(os.path.abspath(source)),
                           _storage(compress_type)))

    def _write_tree(self, folder, name, compress_type):
        """Stages the folder `folder` at `name` with everything below it that
        can be staged; links are never followed."""
        self.mkdir(name)
        with os.scandir(folder) as scan:
            items = sorted(scan, key=lambda item: item.name)
        for item in items:
            child = name + "/" + os.fsdecode(item.name)
            try:
                if item.is_symlink():
                    why = "a link"
                elif item.is_dir(follow_symlinks=False):
                    self._write_tree(item.path, child, compress_type)
                    continue
                elif item.is_file(follow_symlinks=False):
                    self._put_file(item.path, child, compress_type)
                    continue
                else:
                    why = "not a regular file"
            except ValueError as refused:
                why = str(refused)
            warnings.warn("%s: %s, left out" % (item.path, why), stacklevel=3)

    def _put_spooled(self, name, spooled, compress_type):
        with self._lock:
            handle = self._writable()
            spooled.seek(0, io.SEEK_END)
            size = spooled.tell()
            guard = threading.Lock()

            def read(_context, offset, dest, length):
                try:
                    with guard:
                        spooled.seek(offset)
                        data = spooled.read(length)
                    if len(data) != length:
                        return 0
                    _native.ctypes.memmove(dest, data, length)
                    return 1
                except Exception:
                    return 0

            callback = _native.READER(read)
            _check(_c.put_reader(handle, _encoded(name), size, callback, None, _storage(compress_type)))
            self._keep.append((callback, spooled))

    def remove(self, name):
        """Stages the removal of `name` (a name or PackInfo). A PackInfo
        whose record has left its path since (another process committed)
        makes the commit raise KeyError."""
        with self._lock:
            handle = self._writable()
            if isinstance(name, PackInfo):
                self._info(name)
                _check(_c.remove_place(handle, name.place), missing=name.filename)
            else:
                text = os.fsdecode(name)
                _check(_c.remove(handle, _encoded(text.rstrip("/") if len(text) > 1 else text)), missing=text)

    def rename(self, old, new):
        """Stages renaming `old` (a name or PackInfo) to `new`; a PackInfo
        as for remove()."""
        with self._lock:
            handle = self._writable()
            target = _encoded(os.fsdecode(new).rstrip("/"))
            if isinstance(old, PackInfo):
                self._info(old)
                _check(_c.rename_place(handle, old.place, target), missing=old.filename)
            else:
                text = os.fsdecode(old)
                _check(_c.rename(handle, _encoded(text.rstrip("/") if len(text) > 1 else text), target),
                       missing=text)

    def mkdir(self, name):
        """Stages a folder at `name` (with or without a trailing "/"); an
        existing one is left as it is."""
        with self._lock:
            handle = self._writable()
            text = self._arcname(name)
            text = text.rstrip("/") if len(text) > 1 else text
            if self._loaded is not None and text + "/" in self._loaded.by_name:
                return
            _check(_c.mkdir(handle, _encoded(text)))


class _Empty:
    infos = []
    by_name = {}


_EMPTY = _Empty()


def _encoded(name):
    """A name as the library takes it: bytes, refused with ValueError where
    a NUL would cut it short."""
    data = os.fsencode(name)
    if b"\0" in data:
        raise ValueError("%r: refused: a name with a NUL byte" % (name,))
    return data


def _version_text(version):
    """A version as the library takes it: an id, or "K" / "~K" as text."""
    if isinstance(version, bool) or not isinstance(version, (int, str)):
        raise TypeError("a version is an id (int) or a str such as '~1'")
    if isinstance(version, int):
        if version < 0:
            raise ValueError("a version id is not negative: %d" % version)
        version = str(version)
    return _encoded(version)


def _version_of(info):
    counts = info.flags & _native.VERSION_COUNTS_KNOWN

    def count(n):
        return n if counts else None

    when = None
    if info.flags & _native.VERSION_TIME_KNOWN:
        when = _time.strftime("%Y-%m-%dT%H:%M:%SZ", _time.gmtime(info.time))
    return PackVersion(info.version, when, info.files, count(info.added), count(info.changed), count(info.removed),
                       (info.summary or b"").decode("utf-8", "replace"), bool(info.flags & _native.VERSION_DATA_KEPT))


def _storage(compress_type):
    try:
        return _STORAGE[compress_type]
    except KeyError:
        raise ValueError("compress_type must be None, STORED or ZLIB") from None


class _Progress:
    """A progress callable as the C library calls it; an exception it
    raises (KeyboardInterrupt included) cancels, and is raised again."""

    def __init__(self, progress):
        self.raised = None
        if progress is None:
            self.function = _native.PROGRESS(0)
            return

        def call(_context, done_bytes, records):
            try:
                return 0 if progress(done_bytes, records) is False else 1
            except BaseException as error:
                self.raised = error
                return 0

        self.function = _native.PROGRESS(call)

    def check(self, status, filename=None):
        if status == _native.ERROR_CANCELLED and self.raised is not None:
            raise self.raised
        _check(status, filename)


def create(path, tree, progress=None):
    """Makes a new archive at `path` holding the folder `tree`: each folder
    directly in it a top-level folder. FileExistsError where `path` exists."""
    callback = _Progress(progress)
    callback.check(_c.create(os.fsencode(os.fspath(path)), os.fsencode(os.fspath(tree)), callback.function, None),
                   os.fspath(path))


def is_packfile(path):
    """True when `path` is an archive whose directory reads."""
    try:
        with PackFile(path):
            return True
    except (BadPack, OSError):
        return False
