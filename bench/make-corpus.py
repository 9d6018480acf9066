#!/usr/bin/env python3
"""Writes a benchmark corpus: a folder tree full of ZIP archives, the same bytes for the same
seed and scale (and the same zlib).

  bench/make-corpus.py OUTDIR [--scale small|medium|large] [--seed N] [--manifest FILE]

OUTDIR must be missing or empty. Python 3 standard library only.

What the tree holds, as a user's collection does:
  * folders up to four levels deep with ASCII and Japanese names (spaces, brackets, full-width
    and half-width forms), a folder named "old.zip" (a folder, to be walked), hidden folders;
  * ordinary files of many kinds, and near misses ("a.zip.bak", "a.zipx", "a_zip") that are
    not archives;
  * archives named "*.zip", "*.ZIP", "*.Zip", entry counts spread log-normally (many small, a
    few with tens of thousands), directory entries and file entries, written as different
    tools write them: Unix (time and owner extra fields), Windows (data descriptors), NTFS
    times, Java (UTF-8 flag on every entry), and a Mac archiver (UTF-8 in decomposed form
    without the flag);
  * entry names in ASCII, in UTF-8 with the flag, and in code page 932 without it (among them
    characters whose second byte is 0x5C, "\\", and half-width katakana; some with a Unicode
    Path extra field), plus a few hostile ones: backslash separators, "../" and "/" at the
    start, a name of 250 bytes, characters outside the BMP, the same name twice;
  * a few archives with a comment or a self-extractor stub before the first entry, a few with
    no entries (end record only); on the large scale one archive of 100,000 entries, which
    needs the ZIP64 end records;
  * files named "*.zip" that are not archives: text, an HTML error page, zero bytes, random
    bytes, an archive cut off before its central directory;
  * hidden archives (".x.zip", and archives in hidden folders), which a lister leaves out.

Counts are exact for every seed (visible archives include the ones that are not archives;
files count every file; folders every folder below OUTDIR):
  small     208 archives,    19,977 entries,  1,711 files,    43 folders
  medium  2,030 archives,   299,087 entries, 22,038 files,   403 folders
  large   5,061 archives, 1,588,221 entries, 55,076 files, 1,003 folders

--manifest FILE lists every "*.zip" file (any case), sorted by path, one per line:
  KIND TAB PATH-RELATIVE-TO-OUTDIR TAB ENTRIES
with KIND one of archive, empty-archive, not-archive, hidden (hidden whatever it holds).
"""
import argparse
import os
import random
import struct
import sys
import time
import unicodedata
import zlib
from collections import namedtuple

Scale = namedtuple("Scale", "folders files archives entries not_archives hidden big")
SCALES = {
    "small": Scale(40, 1500, 200, 19977, 8, 3, 0),
    "medium": Scale(400, 20000, 2000, 299087, 30, 8, 0),
    "large": Scale(1000, 50000, 5000, 1588221, 60, 15, 100000),
}
CAP = 60000  # entries of an ordinary archive; only the big one needs ZIP64

SIG_LOCAL, SIG_CENTRAL, SIG_END = 0x04034B50, 0x02014B50, 0x06054B50
SIG_END64, SIG_LOCATOR, SIG_DESCRIPTOR = 0x06064B50, 0x07064B50, 0x08074B50
LOCAL = struct.Struct("<IHHHHHIIIHH")
CENTRAL = struct.Struct("<IHHHHHHIIIHHHHHII")
END = struct.Struct("<IHHHHIIH")
END64 = struct.Struct("<IQHHIIQQQQ")
LOCATOR = struct.Struct("<IIQI")
DESCRIPTOR = struct.Struct("<IIII")
UTF8_FLAG, DESCRIPTOR_FLAG = 0x0800, 0x0008

# Words for names. The Japanese ones must all exist in code page 932; several have 0x5C as their
# second byte there (表 ソ 能 十 予 申 貼 噂 構 暴 ポ), the classic trap for byte-wise path splitting.
FOLDERS_EN = ["Documents", "Downloads", "Pictures", "Music", "Videos", "work", "share", "backup",
              "old", "new", "archive", "projects", "clients", "2019", "2020", "2021", "2022",
              "2023", "2024", "Q1", "Q2", "Q3", "Q4", "scans", "photos", "DCIM", "misc",
              "New Folder", "My Stuff", "[2020] trip", "Disc 1", "reports", "invoices", "tmp"]
FOLDERS_JA = ["資料", "写真", "会議資料", "議事録", "見積書", "請求書", "報告書", "設計", "仕様書",
              "予算", "売上表", "顧客名簿", "旅行", "家族", "運動会", "音楽", "画像", "動画",
              "作業中", "最新版", "確認済み", "下書き", "申請書", "能力開発", "ソフト", "十月",
              "予定表", "ダウンロード", "デスクトップ", "素材集", "背景", "効果音", "スキャン",
              "令和５年度", "第２四半期", "【重要】", "ﾃﾞｰﾀ", "ｿｰｽ", "ポスター", "貼り紙", "構成案"]
WORDS_EN = ["notes", "draft", "final", "plan", "sales", "budget", "photo", "scan", "letter",
            "memo", "table", "chart", "design", "model", "render", "setup", "index", "main",
            "config", "readme", "report", "minutes", "invoice", "order", "list", "summary"]
WORDS_JA = ["資料", "会議", "報告", "見積", "請求", "契約", "設計", "仕様", "提案", "予算", "売上",
            "顧客", "名簿", "旅行", "音楽", "画像", "表", "能力", "申請", "予定", "ソフト",
            "データ", "テスト", "最終", "修正", "確認", "社外秘", "東京", "大阪", "営業部",
            "ﾒﾓ", "ﾌｧｲﾙ", "噂", "暴風", "ポイント", "構造", "一覧", "ご案内"]
KINDS = [(".txt", 10), (".jpg", 10), (".JPG", 3), (".png", 6), (".pdf", 6), (".docx", 5),
         (".xlsx", 5), (".csv", 3), (".html", 3), (".c", 3), (".h", 3), (".py", 2),
         (".json", 2), (".xml", 2), (".md", 2), (".log", 2), (".mp3", 3), (".wav", 1),
         (".dat", 2), (".exe", 1), (".dll", 1), (".ini", 1), (".gif", 2), ("", 1)]
NEAR_MISSES = ["{}.zip.bak", "{}.zipx", "{}_zip", "{}.zip~", "{}.zip.part", "{}.7z", "zip"]


class Namer:
    def __init__(self, rng):
        self.r = rng
        self.exts = [e for e, _ in KINDS]
        self.ext_weights = [w for _, w in KINDS]

    def number(self):
        r = self.r
        k = r.random()
        if k < 0.3:
            return "%04d" % r.randrange(10000)
        if k < 0.6:
            return str(r.randrange(1, 100))
        if k < 0.8:
            return "%d%02d%02d" % (r.randrange(2005, 2025), r.randrange(1, 13), r.randrange(1, 29))
        return "(%d)" % r.randrange(1, 9)

    def stem(self, japanese):
        r = self.r
        if japanese and r.random() < 0.75:
            a, b = r.choice(WORDS_JA), r.choice(WORDS_JA)
            return r.choice([a, a + b, a + "_" + self.number(), a + "の" + b, "【" + a + "】" + b,
                             a + "（" + self.number() + "）", a + "・" + b, "第%d回%s" % (r.randrange(1, 30), a)])
        a = r.choice(WORDS_EN)
        return r.choice([a, a + "_" + self.number(), a + "-" + r.choice(WORDS_EN),
                         a.capitalize() + self.number(), "IMG_%04d" % r.randrange(10000),
                         "Copy of " + a, a + " " + self.number()])

    def file(self, japanese):
        return self.stem(japanese) + self.r.choices(self.exts, self.ext_weights)[0]

    def folder(self, japanese):
        return self.r.choice(FOLDERS_JA if japanese and self.r.random() < 0.7 else FOLDERS_EN)


class Payloads:
    """Entry data made once and reused: compressing anew per entry would take minutes."""

    def __init__(self, rng):
        vocabulary = WORDS_EN + WORDS_JA + ["the", "and", "of", "\n", "\n\n", "1,200", "ok"]
        self.texts = []  # (raw size, crc, method, stored bytes)
        for _ in range(800):
            size = min(int(rng.lognormvariate(4.8, 1.2)), 12000)
            words = []
            n = 0
            while n < size:
                w = rng.choice(vocabulary)
                words.append(w)
                n += len(w.encode()) + 1
            raw = " ".join(words).encode()[:size]
            if len(raw) < 40:
                self.texts.append((len(raw), zlib.crc32(raw), 0, raw))
            else:
                packer = zlib.compressobj(6, zlib.DEFLATED, -15)
                self.texts.append((len(raw), zlib.crc32(raw), 8,
                                   packer.compress(raw) + packer.flush()))
        self.noise = rng.randbytes(1 << 20)
        self.blobs = []  # stored binary
        for _ in range(200):
            size = min(int(rng.lognormvariate(7.3, 1.1)), 300000)
            at = rng.randrange(len(self.noise) - size)
            raw = self.noise[at:at + size]
            self.blobs.append((size, zlib.crc32(raw), 0, raw))

    def bytes(self, rng, size):
        at = rng.randrange(len(self.noise) - size)
        return self.noise[at:at + size]


def dos_time(rng):
    year = rng.randrange(2000, 2025)
    date = (year - 1980) << 9 | rng.randrange(1, 13) << 5 | rng.randrange(1, 29)
    clock = rng.randrange(24) << 11 | rng.randrange(60) << 5 | rng.randrange(30)
    return clock, date, (year - 1970) * 31557600 + rng.randrange(31557600)


# What each writer puts in its records: version made by, whether deflated entries get a data
# descriptor, and its extra fields (local, central) for an entry.
def extras(style, unix, is_dir, raw, text):
    if style == "unix":
        owner = b"ux\x0b\x00\x01\x04\xe8\x03\x00\x00\x04\xe8\x03\x00\x00"
        return (b"UT\x09\x00\x03" + struct.pack("<II", unix, unix) + owner,
                b"UT\x05\x00\x03" + struct.pack("<I", unix) + owner,
                (0o40755 if is_dir else 0o100644) << 16)
    if style == "ntfs":
        tick = (unix + 11644473600) * 10000000
        field = b"\x0a\x00\x20\x00\x00\x00\x00\x00\x01\x00\x18\x00" + struct.pack("<QQQ", tick, tick, tick)
        return field, field, 0x10 if is_dir else 0x20
    if style == "windows-up" and not text.isascii():
        body = b"\x01" + struct.pack("<I", zlib.crc32(raw)) + text.encode()
        field = b"up" + struct.pack("<H", len(body)) + body
        return field, field, 0x10 if is_dir else 0x20
    return b"", b"", 0x10 if is_dir else 0x20


MADE_BY = {"unix": 0x031E, "ntfs": 0x000A, "windows": 0x0014, "windows-up": 0x001E,
           "java": 0x0014, "mac": 0x0315}


def build_zip(rng, payloads, names, style, encoding, stub=0, comment=b"", dataset=False):
    """The bytes of an archive holding `names` (str) as `style` writes them."""
    parts, central = [], []
    at = 0
    if stub:
        parts.append(b"MZ" + payloads.bytes(rng, stub - 2))
        at = stub
    made_by = MADE_BY[style]
    descriptors = style in ("windows", "java", "mac")
    clock, date, unix = dos_time(rng)
    texts, blobs = payloads.texts, payloads.blobs
    for text in names:
        if style == "mac":
            raw = unicodedata.normalize("NFD", text).encode()
        else:
            raw = text.encode(encoding)
        flags = UTF8_FLAG if encoding == "utf-8" and style != "mac" and (
            style == "java" or not text.isascii()) else 0
        is_dir = text.endswith("/")
        if is_dir:
            size, crc, method, data = 0, 0, 0, b""
        else:
            u = rng.random()
            if dataset:
                u *= 0.5
            if u < 0.15:
                size, crc, method, data = 0, 0, 0, b""
            elif u < 0.95:
                size, crc, method, data = texts[int(rng.random() * len(texts))]
            else:
                size, crc, method, data = blobs[int(rng.random() * len(blobs))]
        if method == 8 and descriptors:
            flags |= DESCRIPTOR_FLAG
        local_x, central_x, attributes = extras(style, unix, is_dir, raw, text)
        need = 20 if method == 8 or is_dir else 10
        if flags & DESCRIPTOR_FLAG:
            head = LOCAL.pack(SIG_LOCAL, need, flags, method, clock, date, 0, 0, 0, len(raw), len(local_x))
        else:
            head = LOCAL.pack(SIG_LOCAL, need, flags, method, clock, date, crc, len(data), size,
                              len(raw), len(local_x))
        parts += (head, raw, local_x, data)
        offset = at
        at += len(head) + len(raw) + len(local_x) + len(data)
        if flags & DESCRIPTOR_FLAG:
            parts.append(DESCRIPTOR.pack(SIG_DESCRIPTOR, crc, len(data), size))
            at += DESCRIPTOR.size
        central += (CENTRAL.pack(SIG_CENTRAL, made_by, need, flags, method, clock, date, crc,
                                 len(data), size, len(raw), len(central_x), 0, 0, 0, attributes,
                                 offset), raw, central_x)
    directory = b"".join(central)
    count = len(names)
    if count > 0xFFFF:
        end64_at = at + len(directory)
        tail = (END64.pack(SIG_END64, 44, made_by, 45, 0, 0, count, count, len(directory), at) +
                LOCATOR.pack(SIG_LOCATOR, 0, end64_at, 1) +
                END.pack(SIG_END, 0, 0, 0xFFFF, 0xFFFF, len(directory), at, len(comment)))
    else:
        tail = END.pack(SIG_END, 0, 0, count, count, len(directory), at, len(comment))
    return b"".join(parts) + directory + tail + comment


class Entries:
    """Entry names for one archive: a few folders, files spread over them, sorted as most
    writers store them."""

    def __init__(self, rng, namer):
        self.r, self.namer = rng, namer

    def names(self, count, japanese, with_dirs, hostile):
        r = self.r
        if count == 0:
            return []
        top = self.namer.folder(japanese) + "/" if count > 2 and r.random() < 0.6 else ""
        dirs, seen = [top], {top}
        if count >= 5:
            for _ in range(max(1, count // r.randrange(6, 30))):
                parent = r.choice(dirs)
                if parent.count("/") < 5:
                    d = parent + self.namer.folder(japanese) + "/"
                    if d not in seen:
                        seen.add(d)
                        dirs.append(d)
        out = [d for d in dirs if d] if with_dirs else []
        out = out[:count // 2]
        taken = set(out)
        while len(out) < count:
            name = r.choice(dirs) + self.namer.file(japanese)
            if name in taken:
                stem, dot, ext = name.rpartition(".")
                name = "%s_%d%s%s" % (stem if dot else name, len(out), dot, ext if dot else "")
                if name in taken:
                    continue
            taken.add(name)
            out.append(name)
        out.sort()
        if hostile and count >= 4:
            # Replaces names, so the count stays as asked.
            k = r.randrange(count)
            out[k] = r.choice(["../" + out[k].lstrip("./"), "/" + out[k].lstrip("/"),
                               out[k].replace("/", "\\"), ("long_" * 60)[:246] + ".txt",
                               out[(k + 1) % count]])
        return out


def spread(rng, total, n, empty, cap):
    """n counts, `empty` of them 0 and the others between 1 and cap, log-normally spread,
    summing exactly to total."""
    zeros = set(rng.sample(range(n), empty))
    n -= empty
    weights = [rng.lognormvariate(0, 1.5) for _ in range(n)]
    scale = total / sum(weights)
    counts = [min(cap, max(1, int(w * scale))) for w in weights]
    left = total - sum(counts)
    while left:
        i = rng.randrange(n)
        step = 1 if left > 0 else -1
        grown = counts[i] + step * min(abs(left), max(1, counts[i] // 4))
        if 1 <= grown <= cap:
            left -= grown - counts[i]
            counts[i] = grown
    full = iter(counts)
    return [0 if i in zeros else next(full) for i in range(n + empty)]


def make_folders(rng, namer, n):
    """n folder paths below the root ("" is the root itself, not counted), depth four at most."""
    paths, children = [""], {"": set()}
    while len(paths) < n + 1:
        parent = paths[int(len(paths) * rng.random() ** 2)]
        if parent.count("/") >= 3 and parent:
            continue
        name = namer.folder(rng.random() < 0.4)
        if name.lower() in children[parent]:
            name += " %d" % rng.randrange(2, 99)
            if name.lower() in children[parent]:
                continue
        children[parent].add(name.lower())
        path = parent + "/" + name if parent else name
        paths.append(path)
        children[path] = set()
    return paths


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("outdir")
    ap.add_argument("--scale", choices=SCALES, default="small")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--manifest", help="write the list of every *.zip file here")
    args = ap.parse_args(argv)
    if os.path.isdir(args.outdir) and os.listdir(args.outdir):
        sys.exit(f"make-corpus: {args.outdir} is not empty")
    os.makedirs(args.outdir, exist_ok=True)
    started = time.monotonic()
    s = SCALES[args.scale]
    rng = random.Random(f"hakomi corpus {args.scale} {args.seed}")
    namer = Namer(rng)
    payloads = Payloads(rng)
    entries = Entries(rng, namer)

    folders = make_folders(rng, namer, s.folders)
    folders.append("old.zip")
    hidden_folders = [".thumbnails", folders[1] + "/.Trash-1000"]
    taken = {}
    for f in folders + hidden_folders:
        os.makedirs(os.path.join(args.outdir, f), exist_ok=True)
        taken[f] = set()
    totals = {"files": 0, "bytes": 0}
    manifest = []

    def place(folder, name, data):
        name = name.replace("/", "_")
        stem, dot, ext = name.rpartition(".")
        k = 2
        while name.lower() in taken[folder]:
            name = f"{stem} ({k}).{ext}" if dot and stem else f"{name} ({k})"
            k += 1
        taken[folder].add(name.lower())
        with open(os.path.join(args.outdir, folder, name), "wb") as out:
            out.write(data)
        totals["files"] += 1
        totals["bytes"] += len(data)
        return f"{folder}/{name}" if folder else name

    def archive_name(japanese):
        u = rng.random()
        return namer.stem(japanese) + (".zip" if u < 0.85 else ".ZIP" if u < 0.95 else ".Zip")

    # Where files go: some folders are crowded, most hold a few.
    def pick_folders(k, sigma):
        weights = [rng.lognormvariate(0, sigma) for _ in folders]
        return rng.choices(folders, weights, k=k)

    for folder in pick_folders(s.files, 1.0):
        if rng.random() < 0.01:
            name = rng.choice(NEAR_MISSES).format(namer.stem(False))
        else:
            name = namer.file(rng.random() < 0.3)
        size = min(int(rng.lognormvariate(6.0, 1.2)), 60000)
        place(folder, name, payloads.bytes(rng, size))

    counts = spread(rng, s.entries - s.big, s.archives, s.archives // 200, CAP)
    for folder, count in zip(pick_folders(s.archives, 1.5), counts):
        u = rng.random()
        if u < 0.55:
            style, encoding = rng.choice(["unix", "ntfs", "windows", "java"]), "ascii"
        elif u < 0.75:
            style, encoding = rng.choice(["unix", "ntfs", "java"]), "utf-8"
        elif u < 0.95:
            style, encoding = ("windows" if rng.random() < 0.8 else "windows-up"), "cp932"
        else:
            style, encoding = "mac", "utf-8"
        japanese = encoding != "ascii"
        names = entries.names(count, japanese, style != "java" or rng.random() < 0.5,
                              rng.random() < 0.02)
        if encoding == "utf-8" and count and rng.random() < 0.05:
            names[-1] = names[-1].rsplit("/", 1)[0] + "/絵文字🎉.png" if "/" in names[-1] else "🎉.png"
            if len(set(names)) < len(names):
                names[-1] = "_" + names[-1]
        comment = b""
        if rng.random() < 0.03:
            comment = (namer.stem(japanese) + " " + namer.number()).encode(
                "cp932" if encoding == "cp932" else "utf-8") * rng.randrange(1, 30)
        stub = rng.randrange(2048, 40000) if rng.random() < 0.005 else 0
        data = build_zip(rng, payloads, names, style, "utf-8" if encoding == "ascii" else encoding,
                         stub, comment)
        manifest.append(("archive" if count else "empty-archive",
                         place(folder, archive_name(japanese), data), count))

    if s.big:
        names = ["dataset/"] + ["dataset/class_%03d/" % k for k in range(100)]
        per = (s.big - len(names)) // 100
        names += ["dataset/class_%03d/img_%06d.png" % (k, k * per + i) for k in range(100) for i in range(per)]
        names += ["dataset/extra_%06d.txt" % i for i in range(s.big - len(names))]
        data = build_zip(rng, payloads, names, "unix", "utf-8", dataset=True)
        manifest.append(("archive", place(folders[min(3, len(folders) - 1)], "dataset-images.zip", data),
                         len(names)))

    for i in range(s.not_archives):
        kind = i % 5
        if kind == 0:
            data = b"This is not an archive.\n" * rng.randrange(1, 40)
        elif kind == 1:
            data = b"<!DOCTYPE html><html><head><title>404 Not Found</title></head><body></body></html>\n"
        elif kind == 2:
            data = b""
        elif kind == 3:
            data = payloads.bytes(rng, rng.randrange(1, 5000))
            while b"PK\x05\x06" in data:
                data = data.replace(b"PK\x05\x06", b"PK\x00\x00")
        else:
            whole = build_zip(rng, payloads, entries.names(rng.randrange(5, 60), False, True, False),
                              "unix", "utf-8")
            data = whole[:len(whole) // 2]
        manifest.append(("not-archive", place(rng.choice(folders), archive_name(False), data), 0))

    for i in range(s.hidden):
        if i % 2 == 0:
            folder, name = rng.choice(folders), "." + archive_name(False)
        else:
            folder, name = hidden_folders[(i // 2) % 2], archive_name(False)
        count = rng.randrange(1, 150)
        data = build_zip(rng, payloads, entries.names(count, False, True, False), "unix", "utf-8")
        manifest.append(("hidden", place(folder, name, data), count))

    if args.manifest:
        with open(args.manifest, "w", encoding="utf-8") as out:
            for kind, rel, count in sorted(manifest, key=lambda m: m[1]):
                out.write(f"{kind}\t{rel}\t{count}\n")
    listed = [m for m in manifest if m[0] != "hidden"]
    print(f"corpus: archives={len(listed)} entries={sum(m[2] for m in listed)} "
          f"files={totals['files']} folders={len(folders) - 1 + len(hidden_folders)} "
          f"bytes={totals['bytes']} (scale {args.scale}, seed {args.seed}, "
          f"{time.monotonic() - started:.1f} s)")


if __name__ == "__main__":
    main()
