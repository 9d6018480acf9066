#!/usr/bin/env python3
"""End-to-end checks of hakomi-ls: command line, tree output, corpus listing, no writes."""
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

LISTER = sys.argv[1] if len(sys.argv) > 1 else "hakomi-ls"
MAKE_CORPUS = sys.argv[2] if len(sys.argv) > 2 else os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "make-corpus.py")
REJECTION = "書庫じゃないよ！"


def run(*args, **kw):
    return subprocess.run([LISTER, *args], capture_output=True, timeout=120, **kw)


def make_zip(path, names, flag_utf8=True):
    with zipfile.ZipFile(path, "w") as z:
        for n in names:
            z.writestr(n, b"x")


def parse_tree(text):
    """Lines to [(archive, [children])]."""
    tree = []
    for line in text.split("\n")[:-1]:
        if line.startswith("\t"):
            tree[-1][1].append(line[1:])
        else:
            tree.append((line, []))
    return tree


class CommandLine(unittest.TestCase):
    def test_usage_errors_help_and_version(self):
        for args in [(), ("--bogus", "/"), ("-x", "/"), ("/a", "/b"), ("--find",),
                     ("--case", "/"), ("--find=x", "--help=1", "/")]:
            r = run(*args)
            self.assertEqual(r.returncode, 2, args)
            self.assertTrue(r.stderr.decode().startswith("hakomi-ls: "), args)
            self.assertIn("usage", r.stderr.decode(), args)
        for args in [("--help",), ("-h",), ("/a", "-h", "/b")]:
            h = run(*args)
            self.assertEqual(h.returncode, 0, args)
            self.assertIn("usage", h.stdout.decode(), args)
        v = run("--version")
        self.assertEqual(v.returncode, 0)
        self.assertRegex(v.stdout.decode(), r"^hakomi-ls \d+\.\d+\.\d+\n$")

    def test_find_text_in_either_form_and_after_the_folder(self):
        with tempfile.TemporaryDirectory() as d:
            make_zip(os.path.join(d, "a.zip"), ["Abc", "abc"])
            outs = {run(*args).stdout for args in [("--find=abc", d), ("--find", "abc", d),
                                                   (d, "--find", "abc")]}
            self.assertEqual(outs, {"2\tAbc\n3\tabc\n検索終了\n".encode()})
            self.assertEqual(run("--case", "--find=-x", "--", d).returncode, 0)

    def test_unreadable_folder_is_status_1(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(os.path.join(d, "missing"))
            self.assertEqual(r.returncode, 1)
            self.assertTrue(r.stderr.decode().startswith("hakomi-ls: "))
            open(os.path.join(d, "file"), "w").close()
            self.assertEqual(run(os.path.join(d, "file")).returncode, 1)

    def test_empty_folder_prints_nothing(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(d)
            self.assertEqual((r.returncode, r.stdout), (0, b""))


class Tree(unittest.TestCase):
    def test_order_paths_and_rejections(self):
        with tempfile.TemporaryDirectory() as d:
            os.makedirs(os.path.join(d, "b", "c"))
            make_zip(os.path.join(d, "x.zip"), ["one.txt", "dir/", "dir/two.txt"])
            make_zip(os.path.join(d, "b", "y.ZIP"), ["資料/表.txt"])
            with open(os.path.join(d, "b", "c", "z.Zip"), "w") as f:
                f.write("not an archive")
            r = run(d + "/")
            self.assertEqual(r.returncode, 0, r.stderr)
            tree = parse_tree(r.stdout.decode())
            self.assertEqual([a for a, _ in tree],
                             [d + "/b/c/z.Zip", d + "/b/y.ZIP", d + "/x.zip"])
            self.assertEqual(tree[0][1], [REJECTION])
            self.assertEqual(tree[1][1], ["資料/表.txt"])
            self.assertEqual(tree[2][1], ["one.txt", "dir/", "dir/two.txt"])

    def test_escaping_is_lossless_and_null_output_is_exact(self):
        # (entry name, as printed); the neighbours of the escaped characters stay as they are.
        cases = [("tab\there", "tab\\x09here"), ("back\\slash", "back\\\\slash"),
                 ("nl\nx", "nl\\x0ax"), ("del\x7f", "del\\x7f"),
                 ("c1\x80\x85\x9f\xa0", "c1\\u{0080}\\u{0085}\\u{009f}\xa0"),
                 ("ls\u2028ps\u2029", "ls\\u{2028}ps\\u{2029}"), ("\ufeffbom", "\\u{feff}bom"),
                 ("bidi\u200e\u200f\u202a\u202e\u2066\u2069",
                  "bidi\\u{200e}\\u{200f}\\u{202a}\\u{202e}\\u{2066}\\u{2069}"),
                 ("日本\u200d\u2027\u202f\u2065\u206a", "日本\u200d\u2027\u202f\u2065\u206a")]
        with tempfile.TemporaryDirectory() as d:
            # A folder name that is not UTF-8: a stray byte, and a sequence cut short.
            folder = os.path.join(d.encode(), b"f\xff\xe2\x80g")
            os.mkdir(folder)
            archive = os.path.join(folder, b"a.zip")
            make_zip(archive.decode("utf-8", "surrogateescape"), [n for n, _ in cases])
            r = run(d)
            self.assertEqual(parse_tree(r.stdout.decode()),
                             [(d + "/f\\xff\\xe2\\x80g/a.zip", [e for _, e in cases])])
            nodes = run("-0", d).stdout.split(b"\0")
            self.assertEqual(nodes, [archive] + [b"\t" + n.encode() for n, _ in cases] + [b""])
            found = run("--null", "--find=bidi", d).stdout.split(b"\0")
            self.assertEqual(found, [b"9\t" + cases[7][0].encode(), "検索終了".encode(), b""])


    def test_kana_kanji_and_full_width_forms_print_as_they_are(self):
        # Next to what is escaped, and cut short in a folder name that is not UTF-8.
        cases = [("日本語ｶﾀｶﾅ（全角）～", "日本語ｶﾀｶﾅ（全角）～"),
                 ("表\t\ufeff\ufffdａ\u1000\ue000", "表\\x09\\u{feff}\ufffdａ\u1000\ue000"),
                 ("\u3000\u2028\uff0f", "\u3000\\u{2028}\uff0f")]
        with tempfile.TemporaryDirectory() as d:
            folder = os.path.join(d.encode(), "資料".encode() + b"\xe3\x81")
            os.mkdir(folder)
            make_zip(os.path.join(folder, b"a.zip").decode("utf-8", "surrogateescape"),
                     [n for n, _ in cases])
            self.assertEqual(parse_tree(run(d).stdout.decode()),
                             [(d + "/資料\\xe3\\x81/a.zip", [e for _, e in cases])])


class Rejections(unittest.TestCase):
    def test_unreadable_and_empty_archives_keep_their_node_and_say_why(self):
        # Permission is only denied to someone other than root.
        as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] \
            if os.geteuid() == 0 else []
        with tempfile.TemporaryDirectory() as d:
            os.chmod(d, 0o755)
            # A name that would clear the terminal and forge a line if it reached it raw.
            loud = os.path.join(d, "x\x1b[2J\nhakomi-ls: done")
            os.mkdir(loud)
            make_zip(os.path.join(d, "good.zip"), ["in.txt"])
            make_zip(os.path.join(loud, "locked.zip"), ["in.txt"])
            os.chmod(os.path.join(loud, "locked.zip"), 0)
            open(os.path.join(d, "empty.zip"), "w").close()
            zipfile.ZipFile(os.path.join(d, "none.zip"), "w").close()
            with open(os.path.join(d, "text.zip"), "w") as f:
                f.write("not an archive")
            # Reading a process's memory at offset 0 fails with EIO.
            os.symlink("/proc/self/mem", os.path.join(d, "io.zip"))
            locked = os.path.join(d, "locked")
            os.mkdir(locked, 0)
            r = subprocess.run(as_user + [LISTER, d], capture_output=True, timeout=120)
            self.assertEqual(r.returncode, 0, r.stderr)
            shown = d + "/x\\x1b[2J\\x0ahakomi-ls: done"
            self.assertEqual(dict(parse_tree(r.stdout.decode())), {
                d + "/good.zip": ["in.txt"], shown + "/locked.zip": [REJECTION],
                d + "/empty.zip": [REJECTION], d + "/none.zip": [REJECTION],
                d + "/text.zip": [REJECTION], d + "/io.zip": [REJECTION]})
            self.assertEqual(sorted(r.stderr.decode().splitlines()), sorted([
                "hakomi-ls: skipped %s/locked: Permission denied" % d,
                "hakomi-ls: cannot read %s/locked.zip: Permission denied" % shown,
                "hakomi-ls: %s/empty.zip: empty archive" % d,
                "hakomi-ls: %s/none.zip: empty archive" % d,
                "hakomi-ls: cannot read %s/io.zip: Input/output error" % d]))


class NoSixteenBitLimits(unittest.TestCase):
    def test_forty_thousand_entries_in_one_archive(self):
        with tempfile.TemporaryDirectory() as d:
            names = ["e%05d" % i for i in range(40000)]
            make_zip(os.path.join(d, "big.zip"), names)
            tree = parse_tree(run(d).stdout.decode())
            self.assertEqual(len(tree), 1)
            self.assertEqual(tree[0][1], names)

    def test_forty_thousand_archives_in_one_folder(self):
        with tempfile.TemporaryDirectory() as d:
            make_zip(os.path.join(d, "template"), ["only.txt"])
            data = open(os.path.join(d, "template"), "rb").read()
            os.unlink(os.path.join(d, "template"))
            for i in range(40000):
                with open(os.path.join(d, "a%05d.zip" % i), "wb") as f:
                    f.write(data)
            r = run(d)
            self.assertEqual(r.returncode, 0)
            tree = parse_tree(r.stdout.decode())
            self.assertEqual(len(tree), 40000)
            self.assertEqual(sorted(a for a, _ in tree),
                             [os.path.join(d, "a%05d.zip" % i) for i in range(40000)])
            self.assertTrue(all(children == ["only.txt"] for _, children in tree))


class Corpus(unittest.TestCase):
    """The small benchmark corpus against its manifest."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        cls.root = os.path.join(cls.dir, "c")
        manifest = os.path.join(cls.dir, "manifest.tsv")
        subprocess.run([sys.executable, MAKE_CORPUS, cls.root,
                        "--scale", "small", "--manifest", manifest],
                       check=True, capture_output=True)
        with open(manifest, encoding="utf-8") as f:
            cls.manifest = [l.rstrip("\n").split("\t") for l in f]
        r = run(cls.root)
        cls.status = r.returncode
        cls.tree = parse_tree(r.stdout.decode())

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_every_visible_archive_is_listed_with_its_entries(self):
        self.assertEqual(self.status, 0)
        listed = {a[len(self.root) + 1:]: children for a, children in self.tree}
        for kind, rel, count in self.manifest:
            if kind == "hidden":
                self.assertNotIn(rel, listed)
                continue
            self.assertIn(rel, listed)
            children = listed[rel]
            if kind == "archive":
                self.assertEqual(len(children), int(count), rel)
                self.assertNotEqual(children, [REJECTION])
            else:
                self.assertEqual(children, [REJECTION], rel)
        self.assertEqual(len(listed), sum(1 for k, _, _ in self.manifest if k != "hidden"))

    def test_subfolder_archives_come_before_a_folders_own(self):
        seen_dirs = []
        for a, _ in self.tree:
            folder = os.path.dirname(a)
            # Once a folder's own archives have started, no archive below it may follow.
            for done in seen_dirs:
                if done != folder:
                    self.assertFalse(folder.startswith(done + "/"), (done, a))
            if not seen_dirs or seen_dirs[-1] != folder:
                seen_dirs.append(folder)


class HostileFolders(unittest.TestCase):
    def test_pseudo_file_systems_are_listed_and_end(self):
        for folder in ("/proc", "/sys"):
            with self.subTest(folder=folder):
                self.assertTrue(os.path.ismount(folder), folder + " is not mounted")
                # Their link graphs reach every process's root and the device tree over and over.
                r = subprocess.run([LISTER, folder], capture_output=True, timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)

    def test_deep_tree_under_a_low_descriptor_limit(self):
        with tempfile.TemporaryDirectory() as d:
            path, expected = d, []
            for level in range(40):
                path = os.path.join(path, "d")
                os.mkdir(path)
                make_zip(os.path.join(path, "a.zip"), ["e%d" % level])
                expected.insert(0, (os.path.join(path, "a.zip"), ["e%d" % level]))
            r = subprocess.run([LISTER, d], capture_output=True, timeout=120,
                               preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE,
                                                                     (20, 20)))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stderr, b"")
            self.assertEqual(parse_tree(r.stdout.decode()), expected)


class WritesNothing(unittest.TestCase):
    def test_no_file_is_opened_for_writing_created_or_removed(self):
        self.assertTrue(shutil.which("strace"), "strace is needed (scripts/deps.sh test)")
        with tempfile.TemporaryDirectory() as d:
            os.makedirs(os.path.join(d, "sub"))
            make_zip(os.path.join(d, "a.zip"), ["x", "y"])
            make_zip(os.path.join(d, "sub", "b.zip"), ["z"])
            with open(os.path.join(d, "c.zip"), "wb") as f:
                f.write(b"PK\x05\x06" + bytes(18))
            log = os.path.join(d, "..", os.path.basename(d) + ".strace")
            subprocess.run(["strace", "-f", "-qq", "-o", log, "-e",
                            "trace=open,openat,openat2,creat,rename,renameat,renameat2,unlink,"
                            "unlinkat,mkdir,mkdirat,rmdir,link,linkat,symlink,symlinkat,truncate,"
                            "ftruncate,chmod,fchmod,fchmodat,chown,fchown,fchownat",
                            LISTER, d], check=True, capture_output=True, timeout=120,
                           # The leak checker cannot run under a tracer.
                           env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
            with open(log) as f:
                calls = f.read().splitlines()
            os.unlink(log)
            self.assertTrue(any("a.zip" in c for c in calls), "strace saw the archives opened")
            for c in calls:
                if re.search(r"\b(open|openat|openat2)\(", c):
                    self.assertNotRegex(c, r"O_(WRONLY|RDWR|CREAT|TRUNC|APPEND)", c)
                else:
                    name = re.match(r"(\d+\s+)?(\w+)\(", c)
                    self.assertIsNone(name and name.group(2), c)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
