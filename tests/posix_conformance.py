#!/usr/bin/env python3
"""Small POSIX file-system checks run in a folder, grouped by call.

    tests/posix_conformance.py FOLDER [-v]

Each check runs in a fresh subfolder of FOLDER (so a mount that keeps
files in folders takes them) and looks at a call's return value and errno
and at the stat fields it leaves. Prints "GROUP passed/total" per group
and the share passed; -v also names each failed check and why. Exit
status 0 when every check passed, 1 otherwise.
"""
import ctypes
import errno
import os
import shutil
import stat
import sys
import time

CHECKS = []  # (group, description, function taking the check's folder)
LONG = "n" * 256  # one byte over NAME_MAX
TICK = 0.05  # longer than the coarsest clock a file system stamps times with


def check(group):
    def register(function):
        CHECKS.append((group, function.__doc__, function))
        return function
    return register


class Failed(Exception):
    pass


def named(codes):
    return " or ".join(errno.errorcode.get(c, str(c)) for c in codes)


def fails_with(codes, call, *args, **kwargs):
    """CALL fails with one of CODES (an errno or a tuple of them)."""
    codes = codes if isinstance(codes, tuple) else (codes,)
    try:
        call(*args, **kwargs)
    except OSError as e:
        if e.errno in codes:
            return
        raise Failed("%s instead of %s" % (errno.errorcode.get(e.errno, e.errno), named(codes)))
    raise Failed("succeeded instead of %s" % named(codes))


def same(got, want, what):
    if got != want:
        raise Failed("%s: %r instead of %r" % (what, got, want))


def make(path, data=b""):
    with open(path, "wb") as f:
        f.write(data)


def content(path):
    with open(path, "rb") as f:
        return f.read()


def changes(field, path, action):
    """ACTION moves stat field FIELD of PATH forward."""
    before = getattr(os.stat(path), field)
    time.sleep(TICK)
    action()
    after = getattr(os.stat(path), field)
    if after <= before:
        raise Failed("%s of %s not updated" % (field, os.path.basename(path)))


# utimensat through the C library: UTIME_NOW, UTIME_OMIT and bad
# nanoseconds are not reachable through os.utime.
class Timespec(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


LIBC = ctypes.CDLL(None, use_errno=True)
AT_FDCWD, UTIME_NOW, UTIME_OMIT = -100, (1 << 30) - 1, (1 << 30) - 2


def utimensat(path, atime, mtime):
    times = (Timespec * 2)(Timespec(*atime), Timespec(*mtime))
    if LIBC.utimensat(AT_FDCWD, os.fsencode(path), times, 0) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code), path)


# open

@check("open")
def _(d):
    """O_CREAT makes an empty regular file"""
    os.close(os.open(d + "/f", os.O_WRONLY | os.O_CREAT, 0o644))
    st = os.stat(d + "/f")
    same((stat.S_ISREG(st.st_mode), st.st_size, st.st_nlink), (True, 0, 1), "type, size, nlink")


@check("open")
def _(d):
    """O_CREAT|O_EXCL on an existing name: EEXIST"""
    make(d + "/f")
    fails_with(errno.EEXIST, os.open, d + "/f", os.O_WRONLY | os.O_CREAT | os.O_EXCL)


@check("open")
def _(d):
    """O_CREAT|O_EXCL on a folder's name: EEXIST"""
    os.mkdir(d + "/sub")
    fails_with(errno.EEXIST, os.open, d + "/sub", os.O_WRONLY | os.O_CREAT | os.O_EXCL)


@check("open")
def _(d):
    """a missing name without O_CREAT: ENOENT"""
    fails_with(errno.ENOENT, os.open, d + "/missing", os.O_RDONLY)


@check("open")
def _(d):
    """O_CREAT below a missing folder: ENOENT"""
    fails_with(errno.ENOENT, os.open, d + "/missing/f", os.O_WRONLY | os.O_CREAT)


@check("open")
def _(d):
    """a file as a folder on the way: ENOTDIR"""
    make(d + "/f")
    fails_with(errno.ENOTDIR, os.open, d + "/f/x", os.O_WRONLY | os.O_CREAT)


@check("open")
def _(d):
    """a folder for writing: EISDIR"""
    os.mkdir(d + "/sub")
    fails_with(errno.EISDIR, os.open, d + "/sub", os.O_WRONLY)
    fails_with(errno.EISDIR, os.open, d + "/sub", os.O_RDWR)


@check("open")
def _(d):
    """O_DIRECTORY on a file: ENOTDIR"""
    make(d + "/f")
    fails_with(errno.ENOTDIR, os.open, d + "/f", os.O_RDONLY | os.O_DIRECTORY)


@check("open")
def _(d):
    """a name over NAME_MAX: ENAMETOOLONG"""
    fails_with(errno.ENAMETOOLONG, os.open, d + "/" + LONG, os.O_WRONLY | os.O_CREAT)


@check("open")
def _(d):
    """O_TRUNC empties a file; O_CREAT alone keeps it"""
    make(d + "/f", b"abc")
    os.close(os.open(d + "/f", os.O_WRONLY | os.O_CREAT))
    same(content(d + "/f"), b"abc", "after O_CREAT")
    os.close(os.open(d + "/f", os.O_WRONLY | os.O_TRUNC))
    same(os.stat(d + "/f").st_size, 0, "size after O_TRUNC")


@check("open")
def _(d):
    """O_APPEND writes at the end whatever the offset"""
    make(d + "/f", b"ab")
    fd = os.open(d + "/f", os.O_WRONLY | os.O_APPEND)
    os.lseek(fd, 0, os.SEEK_SET)
    os.write(fd, b"c")
    os.close(fd)
    same(content(d + "/f"), b"abc", "content")


@check("open")
def _(d):
    """two opens of one file share its content"""
    make(d + "/f", b"....")
    first = os.open(d + "/f", os.O_RDWR)
    second = os.open(d + "/f", os.O_RDWR)
    os.pwrite(first, b"1", 0)
    os.pwrite(second, b"2", 1)
    got = os.pread(first, 4, 0), os.pread(second, 4, 0)
    os.close(first)
    os.close(second)
    same(got, (b"12..", b"12.."), "read through each")
    same(content(d + "/f"), b"12..", "after both closed")


@check("open")
def _(d):
    """O_CREAT updates the folder's mtime and ctime"""
    changes("st_mtime_ns", d, lambda: make(d + "/f"))
    changes("st_ctime_ns", d, lambda: make(d + "/g"))


# truncate

@check("truncate")
def _(d):
    """shorter: the start kept"""
    make(d + "/f", b"abcdef")
    os.truncate(d + "/f", 2)
    same((os.stat(d + "/f").st_size, content(d + "/f")), (2, b"ab"), "size, content")


@check("truncate")
def _(d):
    """longer: zeros after"""
    make(d + "/f", b"ab")
    os.truncate(d + "/f", 5)
    same(content(d + "/f"), b"ab\0\0\0", "content")


@check("truncate")
def _(d):
    """the same size: content unchanged"""
    make(d + "/f", b"ab")
    os.truncate(d + "/f", 2)
    same(content(d + "/f"), b"ab", "content")


@check("truncate")
def _(d):
    """a missing file: ENOENT"""
    fails_with(errno.ENOENT, os.truncate, d + "/missing", 0)


@check("truncate")
def _(d):
    """a folder: EISDIR"""
    os.mkdir(d + "/sub")
    fails_with(errno.EISDIR, os.truncate, d + "/sub", 0)


@check("truncate")
def _(d):
    """a negative length: EINVAL"""
    make(d + "/f", b"ab")
    fails_with(errno.EINVAL, os.truncate, d + "/f", -1)


@check("truncate")
def _(d):
    """a file as a folder on the way: ENOTDIR"""
    make(d + "/f")
    fails_with(errno.ENOTDIR, os.truncate, d + "/f/x", 0)


@check("truncate")
def _(d):
    """a name over NAME_MAX: ENAMETOOLONG"""
    fails_with(errno.ENAMETOOLONG, os.truncate, d + "/" + LONG, 0)


@check("truncate")
def _(d):
    """updates mtime and ctime"""
    make(d + "/f", b"abc")
    changes("st_mtime_ns", d + "/f", lambda: os.truncate(d + "/f", 1))
    changes("st_ctime_ns", d + "/f", lambda: os.truncate(d + "/f", 0))


# ftruncate

@check("ftruncate")
def _(d):
    """shorter and longer through a descriptor"""
    make(d + "/f", b"abcdef")
    fd = os.open(d + "/f", os.O_RDWR)
    os.ftruncate(fd, 3)
    first = os.fstat(fd).st_size
    os.ftruncate(fd, 5)
    got = os.pread(fd, 10, 0)
    os.close(fd)
    same((first, got), (3, b"abc\0\0"), "size, content")


@check("ftruncate")
def _(d):
    """a read-only descriptor: EINVAL or EBADF"""
    make(d + "/f", b"abc")
    fd = os.open(d + "/f", os.O_RDONLY)
    try:
        fails_with((errno.EINVAL, errno.EBADF), os.ftruncate, fd, 0)
    finally:
        os.close(fd)


@check("ftruncate")
def _(d):
    """a negative length: EINVAL"""
    make(d + "/f", b"abc")
    fd = os.open(d + "/f", os.O_RDWR)
    try:
        fails_with(errno.EINVAL, os.ftruncate, fd, -1)
    finally:
        os.close(fd)


@check("ftruncate")
def _(d):
    """a write past the end after shrinking leaves zeros between"""
    make(d + "/f", b"abcdef")
    fd = os.open(d + "/f", os.O_RDWR)
    os.ftruncate(fd, 1)
    os.pwrite(fd, b"z", 4)
    os.close(fd)
    same(content(d + "/f"), b"a\0\0\0z", "content")


@check("ftruncate")
def _(d):
    """an unlinked file still open"""
    make(d + "/f", b"abcdef")
    fd = os.open(d + "/f", os.O_RDWR)
    os.unlink(d + "/f")
    os.ftruncate(fd, 2)
    got = os.fstat(fd).st_size, os.pread(fd, 10, 0)
    os.close(fd)
    same(got, (2, b"ab"), "size, content")


@check("ftruncate")
def _(d):
    """updates mtime and ctime"""
    make(d + "/f", b"abc")
    fd = os.open(d + "/f", os.O_RDWR)
    try:
        changes("st_mtime_ns", d + "/f", lambda: os.ftruncate(fd, 1))
        changes("st_ctime_ns", d + "/f", lambda: os.ftruncate(fd, 0))
    finally:
        os.close(fd)


# unlink

@check("unlink")
def _(d):
    """the name goes"""
    make(d + "/f")
    os.unlink(d + "/f")
    fails_with(errno.ENOENT, os.stat, d + "/f")


@check("unlink")
def _(d):
    """a missing name: ENOENT"""
    fails_with(errno.ENOENT, os.unlink, d + "/missing")


@check("unlink")
def _(d):
    """a folder: EISDIR (Linux) or EPERM"""
    os.mkdir(d + "/sub")
    fails_with((errno.EISDIR, errno.EPERM), os.unlink, d + "/sub")


@check("unlink")
def _(d):
    """a file as a folder on the way: ENOTDIR"""
    make(d + "/f")
    fails_with(errno.ENOTDIR, os.unlink, d + "/f/x")


@check("unlink")
def _(d):
    """a name over NAME_MAX: ENAMETOOLONG"""
    fails_with(errno.ENAMETOOLONG, os.unlink, d + "/" + LONG)


@check("unlink")
def _(d):
    """an open file reads on, with st_nlink 0"""
    make(d + "/f", b"kept")
    fd = os.open(d + "/f", os.O_RDONLY)
    os.unlink(d + "/f")
    got = os.pread(fd, 10, 0), os.fstat(fd).st_nlink
    os.close(fd)
    same(got, (b"kept", 0), "content, nlink")


@check("unlink")
def _(d):
    """a file made again under the name is a new, empty one"""
    make(d + "/f", b"old")
    os.unlink(d + "/f")
    os.close(os.open(d + "/f", os.O_WRONLY | os.O_CREAT))
    same(content(d + "/f"), b"", "content")


@check("unlink")
def _(d):
    """updates the folder's mtime and ctime"""
    make(d + "/f")
    make(d + "/g")
    changes("st_mtime_ns", d, lambda: os.unlink(d + "/f"))
    changes("st_ctime_ns", d, lambda: os.unlink(d + "/g"))


# rename

@check("rename")
def _(d):
    """to a free name: content and inode go along"""
    make(d + "/f", b"x")
    ino = os.stat(d + "/f").st_ino
    os.rename(d + "/f", d + "/g")
    fails_with(errno.ENOENT, os.stat, d + "/f")
    same((content(d + "/g"), os.stat(d + "/g").st_ino), (b"x", ino), "content, inode")


@check("rename")
def _(d):
    """onto a file: replaced"""
    make(d + "/f", b"new")
    make(d + "/g", b"old")
    os.rename(d + "/f", d + "/g")
    same(content(d + "/g"), b"new", "content")


@check("rename")
def _(d):
    """onto a file open for reading: the reader keeps the old content"""
    make(d + "/f", b"new")
    make(d + "/g", b"old")
    fd = os.open(d + "/g", os.O_RDONLY)
    os.rename(d + "/f", d + "/g")
    got = os.pread(fd, 10, 0)
    os.close(fd)
    same(got, b"old", "the reader's content")


@check("rename")
def _(d):
    """a file onto a folder: EISDIR"""
    make(d + "/f")
    os.mkdir(d + "/sub")
    fails_with(errno.EISDIR, os.rename, d + "/f", d + "/sub")


@check("rename")
def _(d):
    """a folder onto a file: ENOTDIR"""
    make(d + "/f")
    os.mkdir(d + "/sub")
    fails_with(errno.ENOTDIR, os.rename, d + "/sub", d + "/f")


@check("rename")
def _(d):
    """a folder onto an empty one: replaced; onto a full one: ENOTEMPTY or EEXIST"""
    for name in ("a", "empty", "full"):
        os.mkdir(d + "/" + name)
    make(d + "/full/f")
    make(d + "/a/f")
    fails_with((errno.ENOTEMPTY, errno.EEXIST), os.rename, d + "/a", d + "/full")
    os.rename(d + "/a", d + "/empty")
    same(os.listdir(d + "/empty"), ["f"], "moved folder")


@check("rename")
def _(d):
    """a folder into itself: EINVAL"""
    os.makedirs(d + "/a/b")
    fails_with(errno.EINVAL, os.rename, d + "/a", d + "/a/b/c")


@check("rename")
def _(d):
    """a missing source, or a missing folder at the target: ENOENT"""
    make(d + "/f")
    fails_with(errno.ENOENT, os.rename, d + "/missing", d + "/g")
    fails_with(errno.ENOENT, os.rename, d + "/f", d + "/missing/g")


@check("rename")
def _(d):
    """to a name over NAME_MAX: ENAMETOOLONG"""
    make(d + "/f")
    fails_with(errno.ENAMETOOLONG, os.rename, d + "/f", d + "/" + LONG)


@check("rename")
def _(d):
    """to itself: nothing changes"""
    make(d + "/f", b"x")
    os.rename(d + "/f", d + "/f")
    same(content(d + "/f"), b"x", "content")


@check("rename")
def _(d):
    """a folder across updates both folders' nlink"""
    os.makedirs(d + "/from/sub")
    os.mkdir(d + "/to")
    os.rename(d + "/from/sub", d + "/to/sub")
    same((os.stat(d + "/from").st_nlink, os.stat(d + "/to").st_nlink), (2, 3), "nlink of from, to")


@check("rename")
def _(d):
    """updates both folders' mtime"""
    os.mkdir(d + "/a")
    os.mkdir(d + "/b")
    make(d + "/a/f")
    make(d + "/a/g")
    changes("st_mtime_ns", d + "/a", lambda: os.rename(d + "/a/f", d + "/b/f"))
    changes("st_mtime_ns", d + "/b", lambda: os.rename(d + "/a/g", d + "/b/g"))


# mkdir

@check("mkdir")
def _(d):
    """a folder with st_nlink 2"""
    os.mkdir(d + "/sub")
    st = os.stat(d + "/sub")
    same((stat.S_ISDIR(st.st_mode), st.st_nlink), (True, 2), "type, nlink")


@check("mkdir")
def _(d):
    """the mode asked, less the umask"""
    old = os.umask(0o022)
    try:
        os.mkdir(d + "/sub", 0o751)
    finally:
        os.umask(old)
    same(oct(os.stat(d + "/sub").st_mode & 0o7777), oct(0o751), "mode")


@check("mkdir")
def _(d):
    """an existing folder or file: EEXIST"""
    os.mkdir(d + "/sub")
    make(d + "/f")
    fails_with(errno.EEXIST, os.mkdir, d + "/sub")
    fails_with(errno.EEXIST, os.mkdir, d + "/f")


@check("mkdir")
def _(d):
    """below a missing folder: ENOENT"""
    fails_with(errno.ENOENT, os.mkdir, d + "/missing/sub")


@check("mkdir")
def _(d):
    """a file as a folder on the way: ENOTDIR"""
    make(d + "/f")
    fails_with(errno.ENOTDIR, os.mkdir, d + "/f/sub")


@check("mkdir")
def _(d):
    """a name over NAME_MAX: ENAMETOOLONG"""
    fails_with(errno.ENAMETOOLONG, os.mkdir, d + "/" + LONG)


@check("mkdir")
def _(d):
    """the parent's st_nlink counts it"""
    before = os.stat(d).st_nlink
    os.mkdir(d + "/sub")
    same(os.stat(d).st_nlink, before + 1, "parent nlink")


@check("mkdir")
def _(d):
    """updates the parent's mtime and ctime"""
    changes("st_mtime_ns", d, lambda: os.mkdir(d + "/a"))
    changes("st_ctime_ns", d, lambda: os.mkdir(d + "/b"))


# rmdir

@check("rmdir")
def _(d):
    """an empty folder goes"""
    os.mkdir(d + "/sub")
    os.rmdir(d + "/sub")
    fails_with(errno.ENOENT, os.stat, d + "/sub")


@check("rmdir")
def _(d):
    """a full folder: ENOTEMPTY or EEXIST"""
    os.mkdir(d + "/sub")
    make(d + "/sub/f")
    fails_with((errno.ENOTEMPTY, errno.EEXIST), os.rmdir, d + "/sub")


@check("rmdir")
def _(d):
    """a missing name: ENOENT"""
    fails_with(errno.ENOENT, os.rmdir, d + "/missing")


@check("rmdir")
def _(d):
    """a file: ENOTDIR"""
    make(d + "/f")
    fails_with(errno.ENOTDIR, os.rmdir, d + "/f")


@check("rmdir")
def _(d):
    """"." as the last level: EINVAL"""
    os.mkdir(d + "/sub")
    fails_with(errno.EINVAL, os.rmdir, d + "/sub/.")


@check("rmdir")
def _(d):
    """a name over NAME_MAX: ENAMETOOLONG"""
    fails_with(errno.ENAMETOOLONG, os.rmdir, d + "/" + LONG)


@check("rmdir")
def _(d):
    """the parent's st_nlink drops"""
    os.mkdir(d + "/sub")
    before = os.stat(d).st_nlink
    os.rmdir(d + "/sub")
    same(os.stat(d).st_nlink, before - 1, "parent nlink")


@check("rmdir")
def _(d):
    """updates the parent's mtime"""
    os.mkdir(d + "/sub")
    changes("st_mtime_ns", d, lambda: os.rmdir(d + "/sub"))


# chmod

@check("chmod")
def _(d):
    """a file's mode"""
    make(d + "/f")
    os.chmod(d + "/f", 0o600)
    same(oct(os.stat(d + "/f").st_mode & 0o7777), oct(0o600), "mode")


@check("chmod")
def _(d):
    """a folder's mode"""
    os.mkdir(d + "/sub")
    os.chmod(d + "/sub", 0o700)
    same(oct(os.stat(d + "/sub").st_mode & 0o7777), oct(0o700), "mode")


@check("chmod")
def _(d):
    """through a descriptor (fchmod)"""
    make(d + "/f")
    fd = os.open(d + "/f", os.O_RDONLY)
    os.fchmod(fd, 0o640)
    os.close(fd)
    same(oct(os.stat(d + "/f").st_mode & 0o7777), oct(0o640), "mode")


@check("chmod")
def _(d):
    """to the mode it has"""
    make(d + "/f")
    os.chmod(d + "/f", os.stat(d + "/f").st_mode & 0o7777)


@check("chmod")
def _(d):
    """a missing name: ENOENT"""
    fails_with(errno.ENOENT, os.chmod, d + "/missing", 0o644)


@check("chmod")
def _(d):
    """a file as a folder on the way: ENOTDIR"""
    make(d + "/f")
    fails_with(errno.ENOTDIR, os.chmod, d + "/f/x", 0o644)


@check("chmod")
def _(d):
    """a name over NAME_MAX: ENAMETOOLONG"""
    fails_with(errno.ENAMETOOLONG, os.chmod, d + "/" + LONG, 0o644)


@check("chmod")
def _(d):
    """updates ctime"""
    make(d + "/f")
    changes("st_ctime_ns", d + "/f", lambda: os.chmod(d + "/f", 0o600))


# chown

@check("chown")
def _(d):
    """to the owner it has"""
    make(d + "/f")
    st = os.stat(d + "/f")
    os.chown(d + "/f", st.st_uid, st.st_gid)
    same((os.stat(d + "/f").st_uid, os.stat(d + "/f").st_gid), (st.st_uid, st.st_gid), "owner")


@check("chown")
def _(d):
    """-1 for both: nothing changes"""
    make(d + "/f")
    st = os.stat(d + "/f")
    os.chown(d + "/f", -1, -1)
    same((os.stat(d + "/f").st_uid, os.stat(d + "/f").st_gid), (st.st_uid, st.st_gid), "owner")


@check("chown")
def _(d):
    """another owner: root gets it, others EPERM"""
    make(d + "/f")
    if os.geteuid() != 0:
        return fails_with(errno.EPERM, os.chown, d + "/f", os.getuid() + 1, -1)
    os.chown(d + "/f", 4242, 4343)
    same((os.stat(d + "/f").st_uid, os.stat(d + "/f").st_gid), (4242, 4343), "owner")


@check("chown")
def _(d):
    """through a descriptor (fchown)"""
    make(d + "/f")
    st = os.stat(d + "/f")
    fd = os.open(d + "/f", os.O_RDONLY)
    try:
        os.fchown(fd, st.st_uid, st.st_gid)
    finally:
        os.close(fd)


@check("chown")
def _(d):
    """a missing name: ENOENT"""
    fails_with(errno.ENOENT, os.chown, d + "/missing", -1, -1)


@check("chown")
def _(d):
    """a file as a folder on the way: ENOTDIR"""
    make(d + "/f")
    fails_with(errno.ENOTDIR, os.chown, d + "/f/x", -1, -1)


@check("chown")
def _(d):
    """a name over NAME_MAX: ENAMETOOLONG"""
    fails_with(errno.ENAMETOOLONG, os.chown, d + "/" + LONG, -1, -1)


@check("chown")
def _(d):
    """updates ctime"""
    make(d + "/f")
    st = os.stat(d + "/f")
    changes("st_ctime_ns", d + "/f", lambda: os.chown(d + "/f", st.st_uid, st.st_gid))


# link

@check("link")
def _(d):
    """a second name of one inode, st_nlink 2"""
    make(d + "/f", b"x")
    os.link(d + "/f", d + "/g")
    a, b = os.stat(d + "/f"), os.stat(d + "/g")
    same((a.st_ino == b.st_ino, a.st_nlink), (True, 2), "same inode, nlink")


@check("link")
def _(d):
    """a write through one name shows through the other"""
    make(d + "/f", b"x")
    os.link(d + "/f", d + "/g")
    make(d + "/f", b"changed")
    same(content(d + "/g"), b"changed", "content")


@check("link")
def _(d):
    """unlink of one name leaves the other with st_nlink 1"""
    make(d + "/f", b"x")
    os.link(d + "/f", d + "/g")
    os.unlink(d + "/f")
    same((content(d + "/g"), os.stat(d + "/g").st_nlink), (b"x", 1), "content, nlink")


@check("link")
def _(d):
    """onto an existing name: EEXIST"""
    make(d + "/f")
    make(d + "/g")
    fails_with(errno.EEXIST, os.link, d + "/f", d + "/g")


@check("link")
def _(d):
    """a missing source: ENOENT"""
    fails_with(errno.ENOENT, os.link, d + "/missing", d + "/g")


@check("link")
def _(d):
    """a folder: EPERM"""
    os.mkdir(d + "/sub")
    fails_with(errno.EPERM, os.link, d + "/sub", d + "/g")


@check("link")
def _(d):
    """to a name over NAME_MAX: ENAMETOOLONG"""
    make(d + "/f")
    fails_with(errno.ENAMETOOLONG, os.link, d + "/f", d + "/" + LONG)


@check("link")
def _(d):
    """updates the source's ctime"""
    make(d + "/f")
    changes("st_ctime_ns", d + "/f", lambda: os.link(d + "/f", d + "/g"))


# symlink

@check("symlink")
def _(d):
    """a link: lstat, readlink and its size"""
    os.symlink("target", d + "/l")
    st = os.lstat(d + "/l")
    same((stat.S_ISLNK(st.st_mode), os.readlink(d + "/l"), st.st_size), (True, "target", 6), "type, target, size")


@check("symlink")
def _(d):
    """stat follows it"""
    make(d + "/f", b"xyz")
    os.symlink("f", d + "/l")
    same((os.stat(d + "/l").st_size, content(d + "/l")), (3, b"xyz"), "size, content")


@check("symlink")
def _(d):
    """dangling: stat ENOENT, lstat finds it"""
    os.symlink("missing", d + "/l")
    fails_with(errno.ENOENT, os.stat, d + "/l")
    os.lstat(d + "/l")


@check("symlink")
def _(d):
    """onto an existing name: EEXIST"""
    make(d + "/f")
    fails_with(errno.EEXIST, os.symlink, "x", d + "/f")


@check("symlink")
def _(d):
    """below a missing folder: ENOENT"""
    fails_with(errno.ENOENT, os.symlink, "x", d + "/missing/l")


@check("symlink")
def _(d):
    """a name over NAME_MAX: ENAMETOOLONG"""
    fails_with(errno.ENAMETOOLONG, os.symlink, "x", d + "/" + LONG)


@check("symlink")
def _(d):
    """unlink takes the link, not its target"""
    make(d + "/f", b"x")
    os.symlink("f", d + "/l")
    os.unlink(d + "/l")
    same(content(d + "/f"), b"x", "target")


# utimensat

@check("utimensat")
def _(d):
    """both times, to the nanosecond"""
    make(d + "/f")
    utimensat(d + "/f", (1000000000, 5), (1234567890, 500))
    st = os.stat(d + "/f")
    same((st.st_atime_ns, st.st_mtime_ns), (1000000000000000005, 1234567890000000500), "atime, mtime")


@check("utimensat")
def _(d):
    """UTIME_OMIT keeps one, UTIME_NOW sets the other to now"""
    make(d + "/f")
    utimensat(d + "/f", (1000000000, 0), (1000000000, 0))
    start = time.time_ns()
    utimensat(d + "/f", (0, UTIME_OMIT), (0, UTIME_NOW))
    st = os.stat(d + "/f")
    same((st.st_atime_ns, st.st_mtime_ns >= start - 10**9), (10**18, True), "atime kept, mtime now")


@check("utimensat")
def _(d):
    """no times: both now"""
    make(d + "/f")
    utimensat(d + "/f", (1000000000, 0), (1000000000, 0))
    os.utime(d + "/f")
    same(os.stat(d + "/f").st_mtime_ns > 10**18, True, "mtime now")


@check("utimensat")
def _(d):
    """a folder's times"""
    os.mkdir(d + "/sub")
    utimensat(d + "/sub", (1000000000, 0), (1200000000, 0))
    same(os.stat(d + "/sub").st_mtime_ns, 1200000000 * 10**9, "mtime")


@check("utimensat")
def _(d):
    """kept after the file is opened and read again"""
    make(d + "/f", b"x")
    utimensat(d + "/f", (1000000000, 0), (1200000000, 0))
    content(d + "/f")
    same(os.stat(d + "/f").st_mtime_ns, 1200000000 * 10**9, "mtime")


@check("utimensat")
def _(d):
    """nanoseconds out of range: EINVAL"""
    make(d + "/f")
    fails_with(errno.EINVAL, utimensat, d + "/f", (0, 10**9), (0, 0))


@check("utimensat")
def _(d):
    """a missing name: ENOENT"""
    fails_with(errno.ENOENT, utimensat, d + "/missing", (0, UTIME_NOW), (0, UTIME_NOW))


@check("utimensat")
def _(d):
    """a name over NAME_MAX: ENAMETOOLONG"""
    fails_with(errno.ENAMETOOLONG, utimensat, d + "/" + LONG, (0, UTIME_NOW), (0, UTIME_NOW))


@check("utimensat")
def _(d):
    """updates ctime"""
    make(d + "/f")
    changes("st_ctime_ns", d + "/f", lambda: utimensat(d + "/f", (1, 0), (1, 0)))


def main(argv):
    if len(argv) < 2 or not os.path.isdir(argv[1]):
        sys.stderr.write("usage: posix_conformance.py FOLDER [-v]\n")
        return 2
    verbose = "-v" in argv[2:]
    groups = {}
    for number, (group, description, function) in enumerate(CHECKS):
        folder = os.path.join(argv[1], "check%d" % number)
        reason = None
        try:
            os.mkdir(folder)
            function(folder)
        except (Failed, OSError) as e:
            reason = str(e)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        groups.setdefault(group, []).append((description, reason))
    passed = total = 0
    for group, results in groups.items():
        good = sum(1 for _, reason in results if reason is None)
        print("%-10s %d/%d" % (group, good, len(results)))
        if verbose:
            for description, reason in results:
                if reason is not None:
                    print("    FAIL %s: %s" % (description, reason))
        passed, total = passed + good, total + len(results)
    print("total      %d/%d (%.1f%%)" % (passed, total, 100.0 * passed / total))
    return 0 if passed == total else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
