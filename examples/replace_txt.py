#!/usr/bin/env python3
"""Replaces OLD by NEW in every .txt file under FOLDER of an archive, in one
commit: the archive has every file changed, or (on any error, Ctrl-C
included) none.

    python3 examples/replace_txt.py ARCHIVE FOLDER OLD NEW
    python3 examples/replace_txt.py work.pak docs sample example
"""

import sys

import tavmerk


def replace_txt(archive, folder, old, new):
    prefix = folder.rstrip("/") + "/"
    changed = 0
    with tavmerk.PackFile(archive, "a") as pack:
        for info in pack.infolist():
            name = info.filename
            if info.is_dir() or not name.startswith(prefix) or not name.endswith(".txt"):
                continue
            if pack.getinfo(name) is not info:
                continue  # a later record at a path an earlier one took: "/E" never writes it
            text = pack.read(info)
            if old in text:
                # Staged; the method (stored or zlib) chosen as `add` chooses it.
                pack.writestr(name, text.replace(old, new))
                print("replacing", name)
                changed += 1
    # Committed here, when the with block ends without an exception.
    print("%d files changed" % changed)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    _, archive, folder, old, new = sys.argv
    replace_txt(archive, folder, old.encode(), new.encode())
