#!/usr/bin/env python3
"""Checks of bench/make-corpus.py: what it writes is what its manifest and summary say."""
import hashlib
import importlib.util
import io
import os
import subprocess
import sys
import tempfile
import unicodedata
import unittest
import zipfile

SCRIPT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "make-corpus.py")


def generate(root, seed):
    manifest = root + ".tsv"
    out = subprocess.run([sys.executable, SCRIPT, root, "--scale", "small", "--seed", str(seed),
                          "--manifest", manifest], check=True, capture_output=True, text=True)
    with open(manifest, encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t") for line in f]
    return out.stdout, [(kind, rel, int(n)) for kind, rel, n in rows]


def digest(root):
    h = hashlib.sha256()
    for folder, dirs, files in sorted(os.walk(root)):
        for name in sorted(dirs + files):
            path = os.path.join(folder, name)
            h.update(os.path.relpath(path, root).encode() + b"\0")
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    h.update(f.read())
    return h.hexdigest()


class SmallCorpus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = os.path.join(cls.tmp.name, "a")
        cls.summary, cls.rows = generate(cls.root, 1)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_counts_are_exact(self):
        self.assertIn("archives=208 entries=19977 files=1711 folders=43 ", self.summary)
        listed = [r for r in self.rows if r[0] != "hidden"]
        self.assertEqual(len(listed), 208)
        self.assertEqual(sum(n for _, _, n in listed), 19977)
        self.assertEqual(sorted({k for k, _, _ in self.rows}),
                         ["archive", "empty-archive", "hidden", "not-archive"])

    def test_every_zip_file_is_what_the_manifest_says(self):
        on_disk = set()
        for folder, _, files in os.walk(self.root):
            on_disk |= {os.path.relpath(os.path.join(folder, f), self.root)
                        for f in files if f.lower().endswith(".zip")}
        self.assertEqual(on_disk, {rel for _, rel, _ in self.rows})
        for kind, rel, count in self.rows:
            with self.subTest(rel=rel):
                path = os.path.join(self.root, rel)
                self.assertEqual(kind == "hidden", any(p.startswith(".") for p in rel.split("/")))
                if kind == "not-archive":
                    self.assertRaises(zipfile.BadZipFile, zipfile.ZipFile, path)
                    continue
                with zipfile.ZipFile(path) as z:
                    self.assertEqual(len(z.infolist()), count)
                    self.assertIsNone(z.testzip())

    def test_name_flavours(self):
        seen = {"utf-8 flagged": 0, "cp932 with 0x5C": 0, "decomposed utf-8": 0}
        for kind, rel, _ in self.rows:
            if kind != "archive":
                continue
            with zipfile.ZipFile(os.path.join(self.root, rel)) as z:
                for info in z.infolist():
                    raw = info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
                    if raw.isascii():
                        continue
                    if info.flag_bits & 0x800:
                        seen["utf-8 flagged"] += 1
                        continue
                    try:
                        text = raw.decode("utf-8")
                        seen["decomposed utf-8"] += unicodedata.is_normalized("NFD", text) and \
                            not unicodedata.is_normalized("NFC", text)
                    except UnicodeDecodeError:
                        raw.decode("cp932")
                        seen["cp932 with 0x5C"] += b"\\" in raw
        for flavour, n in seen.items():
            self.assertGreater(n, 20, flavour)
        self.assertEqual({rel[-4:] for _, rel, _ in self.rows} & {".zip", ".ZIP", ".Zip"},
                         {".zip", ".ZIP", ".Zip"})
        self.assertTrue(os.path.isdir(os.path.join(self.root, "old.zip")))

    def test_same_seed_same_bytes(self):
        again = os.path.join(self.tmp.name, "b")
        other = os.path.join(self.tmp.name, "c")
        generate(again, 1)
        generate(other, 2)
        self.assertEqual(digest(self.root), digest(again))
        self.assertNotEqual(digest(self.root), digest(other))


class Zip64(unittest.TestCase):
    def test_more_than_65535_entries(self):
        found = importlib.util.spec_from_file_location("make_corpus", SCRIPT)
        mc = importlib.util.module_from_spec(found)
        found.loader.exec_module(mc)
        rng = mc.random.Random(1)
        names = ["d/%06d.txt" % i for i in range(70000)]
        data = mc.build_zip(rng, mc.Payloads(rng), names, "unix", "utf-8", stub=3000)
        self.assertEqual(data[-42:-38], b"PK\x06\x07")  # the locator before the end record
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            self.assertEqual(z.namelist(), names)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
