"""What the Python tests share: a scratch folder per test, archives written
into it, and the tool run as a reference."""

import os
import subprocess
import tempfile
import unittest

import pack_builder as pb


class ScratchTest(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="tavmerk-py-")
        self.addCleanup(scratch.cleanup)
        self.dir = scratch.name

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def archive(self, roots, name="a.pak", **options):
        path = self.path(name)
        with open(path, "wb") as out:
            out.write(pb.build(roots, **options))
        return path


def expand_with_tool(archive, target):
    """What "/E" writes, as {relative path: bytes}."""
    tool = os.environ["TAVMERK_BINARY"]
    subprocess.run([tool, "/E", archive, target], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   start_new_session=True, check=False)
    return tree_files(target)


def tree_files(root):
    found = {}
    for folder, _subfolders, files in os.walk(root):
        for name in files:
            full = os.path.join(folder, name)
            with open(full, "rb") as f:
                found[os.path.relpath(full, root).replace(os.sep, "/")] = f.read()
    return found
