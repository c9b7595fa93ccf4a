"""Pack archives built byte by byte for the Python tests, as
tests/archive_builder.h builds them for the C++ ones: folders, stored and
compressed files, deleted records, and raw overrides of any field."""

import random
import struct
import zlib


def additive(data):
    """The record checksum: little-endian words summed mod 2**32, then the
    trailing bytes singly."""
    whole = len(data) - len(data) % 4
    total = sum(struct.unpack("<%dI" % (whole // 4), data[:whole]))
    return (total + sum(data[whole:])) & 0xFFFFFFFF


class Folder:
    def __init__(self, name, children=(), **overrides):
        self.name = name if isinstance(name, bytes) else name.encode()
        self.children = list(children)
        self.overrides = overrides


class File:
    """A file record. `stored` overrides the bytes placed in the data
    region; any of stored_size, expanded_size, checksum, data_offset and
    name_length overrides that field."""

    def __init__(self, name, content=b"", compress=False, deleted=False, **overrides):
        self.name = name if isinstance(name, bytes) else name.encode()
        self.content = content
        self.compress = compress
        self.deleted = deleted
        self.overrides = overrides


def build(roots, root_folder_count=None, directory_size=None, bad_crc=False):
    """The archive's bytes: header, directory in pre-order, then each live
    record's stored bytes in directory order."""
    directory = bytearray()
    pending = []  # (offset of the record in the directory, stored bytes, node)

    def emit(node, top):
        o = node.overrides
        directory.extend(struct.pack(">IB", 0, 0 if isinstance(node, Folder) else 1))
        directory.extend(struct.pack(">I", o.get("folder_id", 0)))
        if isinstance(node, Folder):
            directory.extend(struct.pack(">II", o.get("child_count", len(node.children)),
                                         o.get("name_length", len(node.name))))
            directory.extend(node.name)
            for child in node.children:
                emit(child, False)
            return
        stored = o.get("stored")
        if stored is None:
            stored = zlib.compress(node.content, 9) if node.compress else node.content
        at = len(directory)
        directory.extend(struct.pack(">IIIII", o.get("stored_size", len(stored)),
                                     o.get("expanded_size", len(node.content)),
                                     o.get("checksum", additive(stored)), 0,
                                     o.get("name_length", len(node.name))))
        directory.extend(node.name)
        pending.append((at, b"" if node.deleted else stored, node))

    for root in roots:
        emit(root, True)
    out = bytearray(b"PACK-HEADER-0001")
    out += struct.pack(">I", len(roots) if root_folder_count is None else root_folder_count)
    out += b"FILL-20-"
    out += struct.pack(">I", len(directory) if directory_size is None else directory_size)
    out += b"F-32"
    out += struct.pack(">I", 0)
    dir_at = len(out)
    out += directory
    for at, stored, node in pending:
        offset = 0 if node.deleted else len(out)
        out += stored
        struct.pack_into(">I", out, dir_at + at + 12, node.overrides.get("data_offset", offset))
    crc = zlib.crc32(bytes(out[dir_at:dir_at + len(directory)]))
    struct.pack_into(">I", out, 36, crc ^ 1 if bad_crc else crc)
    return bytes(out)


def sample(size, seed, text=True):
    """Deterministic pseudo-random bytes; `text` makes them compressible."""
    rng = random.Random(seed)
    if not text:
        return rng.randbytes(size)
    words = [b"alpha ", b"beta ", b"gamma ", b"delta\n", b"pack ", b"file ", b"tree ", b"data "]
    return b"".join(rng.choices(words, k=size // 4 + 1))[:size]
