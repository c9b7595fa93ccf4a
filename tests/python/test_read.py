"""PackFile's reading side on archives built byte by byte: listing, names,
content through open() and read() against what "/E" writes, checks, and the
errors of bad input and of use after close."""

import io
import os
import random
import zlib

import pack_builder as pb
import tavmerk
from pack_builder import File, Folder
from support import ScratchTest, expand_with_tool, tree_files

LARGE = pb.sample(6 << 20, 7, text=True)  # past the size inflated whole
NOISE = pb.sample(5 << 20, 8, text=False)  # a stream past the size held whole


def listed_tree():
    return [
        Folder("docs", [File("readme.txt", b"hello\n"), File("notes.txt", pb.sample(5000, 1), compress=True),
                        File("gone.txt", deleted=True), Folder("empty")]),
        Folder("data", [File("readme.txt", b"x"), File(b"caf\xe9.bin", b"\x00\x01"),
                        File("../escape.txt", b"out")]),
        Folder("docs", [File("readme.txt", b"shadowed")]),
    ]


class Listing(ScratchTest):
    def test_infolist_in_directory_order_without_deleted_records(self):
        path = self.archive(listed_tree())
        with tavmerk.PackFile(path) as pack:
            names = pack.namelist()
            infos = pack.infolist()
        bad_name = os.fsdecode(b"data/caf\xe9.bin")
        self.assertEqual(names, ["docs/", "docs/readme.txt", "docs/notes.txt", "docs/empty/", "data/",
                                 "data/readme.txt", bad_name, "data/../escape.txt", "docs/", "docs/readme.txt"])
        self.assertEqual([i.filename for i in infos], names)
        self.assertEqual(os.fsencode(bad_name), b"data/caf\xe9.bin")
        notes = infos[2]
        self.assertEqual((notes.file_size, notes.compress_type, notes.is_dir()), (5000, tavmerk.ZLIB, False))
        self.assertEqual(notes.compress_size, len(zlib.compress(pb.sample(5000, 1), 9)))
        self.assertEqual(infos[1].compress_type, tavmerk.STORED)
        self.assertTrue(infos[3].is_dir())
        self.assertEqual([i.place for i in infos[:4]], [0, 1, 2, 4])  # the deleted record keeps place 3

    def test_getinfo_finds_the_first_record_at_a_path_and_folders_either_way(self):
        path = self.archive(listed_tree())
        with tavmerk.PackFile(path) as pack:
            infos = pack.infolist()
            self.assertIs(pack.getinfo("docs/readme.txt"), infos[1])
            self.assertIs(pack.getinfo("docs"), infos[0])
            self.assertIs(pack.getinfo("docs/"), infos[0])
            self.assertIs(pack.getinfo(os.fsdecode(b"data/caf\xe9.bin")), infos[6])
            self.assertEqual(pack.read("docs/readme.txt"), b"hello\n")
            # Shadowed and hostile records are reached through their PackInfo.
            self.assertEqual(pack.read(infos[9]), b"shadowed")
            self.assertEqual(pack.read(infos[7]), b"out")
            for missing in ("docs/gone.txt", "data/../escape.txt", "nothing", "docs/readme.txt/"):
                with self.assertRaises(KeyError, msg=missing):
                    pack.getinfo(missing)


class Content(ScratchTest):
    def test_open_and_read_give_what_the_tool_expands(self):
        roots = [Folder("a", [File("small.txt", b"small"), File("z.txt", pb.sample(70000, 2), compress=True),
                              Folder("b", [File("large.bin", LARGE, compress=True),
                                           File("noise.bin", NOISE, compress=True),
                                           File("raw.bin", pb.sample(300000, 3, text=False))])])]
        path = self.archive(roots)
        expanded = expand_with_tool(path, self.path("out"))
        with tavmerk.PackFile(path) as pack:
            got = {i.filename: pack.read(i) for i in pack.infolist() if not i.is_dir()}
            self.assertEqual(got, expanded)
            with pack.open("a/b/large.bin") as stream:
                self.assertIsInstance(stream, io.BufferedIOBase)
                self.assertEqual(stream.read(10), LARGE[:10])
                self.assertEqual(stream.tell(), 10)
                # Random seeks into the large zlib record, forward and back.
                rng = random.Random(5)
                for _ in range(40):
                    offset = rng.randrange(len(LARGE))
                    length = rng.randrange(1, 3 << 20)
                    self.assertEqual(stream.seek(offset), offset)
                    self.assertEqual(stream.read(length), LARGE[offset:offset + length], offset)
                self.assertEqual(stream.seek(-5, io.SEEK_END), len(LARGE) - 5)
                self.assertEqual(stream.read(), LARGE[-5:])
                self.assertEqual(stream.read(), b"")
                buffer = bytearray(7)
                stream.seek(3)
                self.assertEqual(stream.readinto(buffer), 7)
                self.assertEqual(bytes(buffer), LARGE[3:10])

    def test_damaged_data_raises_badpack_when_read(self):
        good = pb.sample(9000, 4)
        stream = bytearray(zlib.compress(good, 9))
        stream[-1] ^= 1  # its Adler-32
        large_stream = bytearray(zlib.compress(LARGE, 9))
        large_stream[len(large_stream) // 2] ^= 0x55
        noise_stream = bytearray(zlib.compress(NOISE, 9))
        noise_stream[-3] ^= 1
        roots = [Folder("f", [
            File("sum.txt", b"content", checksum=1),
            File("adler.txt", good, compress=True, stored=bytes(stream), checksum=pb.additive(bytes(stream))),
            File("large.bin", LARGE, compress=True, stored=bytes(large_stream),
                 checksum=pb.additive(bytes(large_stream))),
            File("noise.bin", NOISE, compress=True, stored=bytes(noise_stream),
                 checksum=pb.additive(bytes(noise_stream))),
            File("fine.txt", b"fine"),
        ])]
        path = self.archive(roots)
        with tavmerk.PackFile(path) as pack:
            for name in ("f/sum.txt", "f/adler.txt", "f/large.bin", "f/noise.bin"):
                with self.assertRaises(tavmerk.BadPack, msg=name):
                    pack.read(name)
            self.assertEqual(pack.read("f/fine.txt"), b"fine")
            self.assertEqual(pack.testpack(), "f/sum.txt")


class BadInput(ScratchTest):
    def test_damaged_directories_raise_badpack(self):
        cases = {
            "short header": lambda: b"PACK",
            "directory past the end": lambda: pb.build([Folder("a")], directory_size=1 << 20),
            "name past the block": lambda: pb.build([Folder("a", [File("x", b"1", name_length=999)])]),
            "bad folder id": lambda: pb.build([Folder("a", [Folder("b", folder_id=3)])]),
        }
        for name, make in cases.items():
            with self.subTest(name):
                path = self.path(name.replace(" ", "_"))
                with open(path, "wb") as out:
                    out.write(make())
                with self.assertRaises(tavmerk.BadPack):
                    tavmerk.PackFile(path)
                self.assertFalse(tavmerk.is_packfile(path))

    def test_bad_directory_crc_is_found_by_testpack(self):
        path = self.archive([Folder("a", [File("x", b"1")])], bad_crc=True)
        with tavmerk.PackFile(path) as pack:
            self.assertEqual(pack.read("a/x"), b"1")
            with self.assertRaises(tavmerk.BadPack):
                pack.testpack()

    def test_system_failures_and_refused_calls(self):
        with self.assertRaises(FileNotFoundError):
            tavmerk.PackFile(self.path("missing.pak"))
        with self.assertRaises(ValueError):
            tavmerk.PackFile(self.path("missing.pak"), "w")
        path = self.archive([Folder("a", [File("x", b"1")])])
        pack = tavmerk.PackFile(path)
        stream = pack.open("a/x")
        with self.assertRaises(ValueError):
            pack.writestr("a/y", b"2")  # mode "r"
        with self.assertRaises(IsADirectoryError):
            pack.open("a")
        pack.close()
        self.assertEqual(stream.read(), b"1")  # a stream outlives its archive's handle
        stream.close()
        for call in (pack.namelist, pack.infolist, lambda: pack.read("a/x"), pack.testpack,
                     lambda: pack.getinfo("a/x"), stream.read, stream.tell):
            with self.assertRaises(ValueError):
                call()
        pack.close()  # twice is fine


class Extraction(ScratchTest):
    def test_extractall_writes_what_the_tool_writes_and_names_what_it_leaves_out(self):
        roots = listed_tree() + [Folder("z", [File("big.txt", pb.sample(100000, 9), compress=True)])]
        path = self.archive(roots)
        sentinel = self.path("escape.txt")
        with open(sentinel, "wb") as f:
            f.write(b"unmodified")
        expanded = expand_with_tool(path, self.path("tool", "out"))
        with tavmerk.PackFile(path) as pack:
            with self.assertRaises(tavmerk.ExtractError) as raised:
                pack.extractall(self.path("lib", "out"))
            self.assertEqual([name for name, _ in raised.exception.left_out],
                             ["data/../escape.txt", "docs/readme.txt"])
            self.assertEqual(tree_files(self.path("lib", "out")), expanded)
            with open(sentinel, "rb") as f:
                self.assertEqual(f.read(), b"unmodified")
            # One member, then the same again: never over an existing file.
            written = pack.extract("z/big.txt", self.path("one"))
            self.assertEqual(written, self.path("one", "z", "big.txt"))
            with open(written, "rb") as f:
                self.assertEqual(f.read(), pb.sample(100000, 9))
            with self.assertRaises(tavmerk.ExtractError):
                pack.extract(pack.getinfo("z/big.txt"), self.path("one"))
            pack.extract("docs", self.path("folder"))
            self.assertEqual(sorted(tree_files(self.path("folder"))), ["docs/notes.txt", "docs/readme.txt"])
