#!/usr/bin/env python3
"""Writes the seed corpus of the archive fuzzer (corpus/) and of the name decoder's
fuzzer (../namedecode/corpus/): a few tiny archives covering the reader's paths."""
import io
import os
import struct
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def raw_archive(names, flags=0, extras=None, prefix=b'', adjust=True, zip64=False, comment=b'',
                trailer=b'', comment_length=None, size_delta=0, disk=0, on_disk=None,
                last_lengths=None):
    """An archive written field by field; extras[i] is entry i's central extra field. The
    rest writes damage other readers see past: bytes after the archive, a comment length,
    directory size or entries-on-disk count that lie, disk numbers, and the last central
    header's stated (extra, comment) lengths."""
    out = bytearray(prefix)
    base = 0 if adjust else len(prefix)
    offsets = []
    for name in names:
        offsets.append(len(out) - base)
        crc = zlib.crc32(name)
        out += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, flags, 0, 0, 0x5821, crc,
                           len(name), len(name), len(name), 0) + name + name
    start = len(out)
    for i, name in enumerate(names):
        extra = extras[i] if extras else b''
        lengths = (len(extra), 0)
        if last_lengths and i == len(names) - 1:
            lengths = last_lengths
        out += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 20, 20, flags, 0, 0, 0x5821,
                           zlib.crc32(name), len(name), len(name), len(name), *lengths,
                           0, 0, 0, offsets[i]) + name + extra
    size, offset, count = len(out) - start + size_delta, start - base, len(names)
    here = count if on_disk is None else on_disk
    if zip64:
        record = len(out) - base
        out += struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, disk, disk, here, count, size,
                           offset)
        out += struct.pack('<IIQI', 0x07064b50, 0, record, 1)
        disk16, here16, count16, size32, offset32 = disk, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF
    else:
        disk16, here16, count16, size32, offset32 = disk, here, count, size, offset
    length = len(comment) if comment_length is None else comment_length
    out += struct.pack('<IHHHHIIH', 0x06054b50, disk16, disk16, here16, count16, size32,
                       offset32, length) + comment + trailer
    return bytes(out)


def unicode_path(stored, text):
    payload = b'\x01' + struct.pack('<I', zlib.crc32(stored)) + text
    return struct.pack('<HH', 0x7075, len(payload)) + payload


def python_archive(**kw):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w', kw.get('method', zipfile.ZIP_STORED)) as z:
        for n in kw['names']:
            info = zipfile.ZipInfo(n, date_time=(2024, 1, 1, 0, 0, 0))  # same bytes every run
            info.compress_type = z.compression
            if kw.get('zip64'):
                with z.open(info, 'w', force_zip64=True) as f:
                    f.write(b'x')
            else:
                z.writestr(info, n)
        z.comment = kw.get('comment', b'')
    return buf.getvalue()


def main():
    archives = {
        'ascii.zip': raw_archive([b'readme.txt', b'dir/', b'dir/a.c']),
        'utf8-flag.zip': raw_archive(['日本語.txt'.encode()], flags=0x800),
        'cp932.zip': raw_archive([b'\x83\x5c\x95\x5c\\\xb1.txt', b'\xb7\xac\xdd\xbe\xd9']),
        'cp932-lying-flag.zip': raw_archive([b'\x95\x5c\x8e\xa6.txt'], flags=0x800),
        'unicode-path.zip': raw_archive([b'old.txt'], extras=[unicode_path(b'old.txt', '新.txt'.encode())]),
        'nul-name.zip': raw_archive([b'abc\0def', b'']),
        'sfx-unadjusted.zip': raw_archive([b'a', b'b'], prefix=b'#!stub' * 10, adjust=False),
        'zip64-end.zip': raw_archive([b'x', b'y'], zip64=True),
        'comment.zip': raw_archive([b'c'], comment=b'PK\x05\x06 not an end record'),
        'empty.zip': raw_archive([]),
        'last-extra-past.zip': raw_archive([b'a', b'b'], last_lengths=(0x4000, 0)),
        'last-comment-past.zip': raw_archive([b'a', b'b'], last_lengths=(0, 300)),
        'trailing-100k.zip': raw_archive([b'a'], trailer=b'T' * 100000),
        'comment-past-eof.zip': raw_archive([b'a'], comment_length=40),
        'size-too-small.zip': raw_archive([b'abc', b'def'], size_delta=-50),
        'size-too-large.zip': raw_archive([b'abc', b'def'], size_delta=4000),
        'multi-disk.zip': raw_archive([b'a', b'b'], disk=1),
        'zip64-on-disk-zero.zip': raw_archive([b'x', b'y'], zip64=True, on_disk=0),
        'cp437.zip': raw_archive([b'\x80\x81\x82.txt', b'caf\x82/na\xa8ve']),
        'python-deflate.zip': python_archive(names=['a.txt', 'b/c.txt'], method=zipfile.ZIP_DEFLATED),
        'python-zip64.zip': python_archive(names=['big'], zip64=True),
    }
    corpus = os.path.join(HERE, 'corpus')
    os.makedirs(corpus, exist_ok=True)
    for name, data in archives.items():
        with open(os.path.join(corpus, name), 'wb') as f:
            f.write(data)
    # Name decoder: control byte (high bit: make a Unicode Path field), name, extra.
    names = {
        'ascii': b'\x7f' + b'folder/file.txt',
        'utf8': b'\x7f' + '日本語/ファイル'.encode(),
        'cp932': b'\x7f' + b'\x83\x5c\x95\x5c\\\xb1',
        'unicode-path': b'\xbf' + b'old.txt' + '新しい.txt'.encode(),
        'long': b'\x7f' + '表'.encode() * 200,
        'cp437': b'\x7f' + bytes(range(0x80, 0x91)) + b'.txt',
    }
    decoder = os.path.join(HERE, '..', 'namedecode', 'corpus')
    os.makedirs(decoder, exist_ok=True)
    for name, data in names.items():
        with open(os.path.join(decoder, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
