#!/usr/bin/env python3
"""Peer for the benchmark: every entry name of every archive below FOLDER, read with Python's
zipfile, in the lister's order (each subfolder's tree first, in directory order, then the
folder's own archives; names starting with "." left out).

Output: the archive's path, then one line per entry, TAB first; "\t(not an archive)" for a
file zipfile refuses or that has no entry. A summary goes to standard error.
"""
import os
import sys
import zipfile


def archives(folder):
    subfolders, files = [], []
    try:
        with os.scandir(folder) as it:
            for e in it:
                if e.name.startswith(b"."):
                    continue
                try:
                    if e.is_dir():
                        subfolders.append(e.path)
                    elif e.is_file() and e.name[-4:].lower() == b".zip":
                        files.append(e.path)
                except OSError:
                    pass
    except OSError:
        return
    for s in subfolders:
        yield from archives(s)
    yield from files


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: peer_zipfile.py FOLDER")
    out = sys.stdout.buffer
    count = entries = refused = 0
    # Bytes paths keep file names exactly as the file system holds them.
    for path in archives(os.fsencode(sys.argv[1])):
        count += 1
        try:
            # ZipFile takes a bytes path for a file object, so the file is opened here.
            with open(path, "rb") as f, zipfile.ZipFile(f) as z:
                names = z.namelist()
        except Exception:
            names = []
        lines = [path, b"\n"]
        if names:
            entries += len(names)
            for n in names:
                lines += (b"\t", n.encode("utf-8", "surrogateescape"), b"\n")
        else:
            refused += 1
            lines.append(b"\t(not an archive)\n")
        out.write(b"".join(lines))
    out.flush()
    print(f"peer_zipfile: archives={count} entries={entries} not-archives-or-empty={refused}",
          file=sys.stderr)


if __name__ == "__main__":
    main()
