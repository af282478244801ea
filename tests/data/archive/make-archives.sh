#!/usr/bin/env bash
# Makes the committed test archives of this folder with real tools: Info-ZIP
# zip, 7-Zip and Python's zipfile. Run it from anywhere; it rewrites the
# archives in place. Most hold the same small tree - hello.txt ("hello\n"),
# empty.txt, emptydir/, sub/dir/nested.bin (20000 bytes, CRC-32 2f99df50) -
# which tests/unit/archive_reader_test.cpp expects; the others are named after
# the one thing they show (GBK names, an encrypted entry, a symbolic link...).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TZ=UTC LC_ALL=C.UTF-8

# The tree most archives hold.
tree=$work/tree
mkdir -p "$tree/sub/dir" "$tree/emptydir"
printf 'hello\n' >"$tree/hello.txt"
: >"$tree/empty.txt"
python3 - "$tree/sub/dir/nested.bin" <<'EOF'
import random, sys
random.seed(1)
open(sys.argv[1], 'wb').write(bytes(random.choice(b'abcdefgh\x00\xff') for _ in range(20000)))
EOF
find "$tree" -exec touch -d '2024-05-01 12:00:00' {} +

rm -f "$here"/*.zip
cd "$tree"
zip -q -r -X -9 "$here/zip-deflated.zip" . -x .
zip -q -r -X -0 "$here/zip-stored.zip" . -x .
# Written to a pipe, zip cannot seek back: data descriptors after the data.
zip -q -r -X - . | cat >"$here/zip-stream.zip"
7z a -tzip -mx=9 "$here/7z-deflated.zip" hello.txt empty.txt sub emptydir >/dev/null
7z a -tzip -mm=BZip2 "$here/method-bzip2.zip" sub/dir/nested.bin >/dev/null
zip -q -X -P secret "$here/encrypted.zip" hello.txt
mkdir "$work/links" && cd "$work/links"
printf 'x\n' >target && ln -s target link && ln -s ../../outside escape
zip -q -y -X "$here/symlink.zip" target link escape
cd "$work"

python3 - "$here" <<'EOF'
import io, sys, zipfile, os
here = sys.argv[1]
T = (2024, 5, 1, 12, 0, 0)
nested = open('tree/sub/dir/nested.bin', 'rb').read()

def info(name, method=zipfile.ZIP_DEFLATED):
    i = zipfile.ZipInfo(name, T)
    i.compress_type = method
    i.external_attr = 0o644 << 16
    return i

# Streaming to an object that cannot seek: data descriptors with signature.
class Pipe(io.RawIOBase):
    def __init__(self): self.buf = bytearray()
    def writable(self): return True
    def write(self, b): self.buf += b; return len(b)
    def seekable(self): return False
    def tell(self): return len(self.buf)
p = Pipe()
with zipfile.ZipFile(p, 'w') as z:
    with z.open(info('hello.txt'), 'w') as f: f.write(b'hello\n')
    with z.open(info('sub/dir/nested.bin'), 'w') as f: f.write(nested)
    with z.open(info('empty.txt'), 'w') as f: pass
open(os.path.join(here, 'py-stream.zip'), 'wb').write(p.buf)

# ZIP64 everywhere: extra fields in local and central headers, and the
# ZIP64 end record with its locator, as zipfile writes them past its limits.
zipfile.ZIP64_LIMIT = 1
zipfile.ZIP_FILECOUNT_LIMIT = 1
with zipfile.ZipFile(os.path.join(here, 'py-zip64.zip'), 'w') as z:
    for name, data in (('hello.txt', b'hello\n'), ('sub/dir/nested.bin', nested), ('empty.txt', b'')):
        with z.open(info(name), 'w', force_zip64=True) as f: f.write(data)
zipfile.ZIP64_LIMIT = (1 << 31) - 1
zipfile.ZIP_FILECOUNT_LIMIT = (1 << 16) - 1

# Chinese names flagged UTF-8.
with zipfile.ZipFile(os.path.join(here, 'py-utf8.zip'), 'w') as z:
    z.writestr(info('说明.txt'), '中文'.encode('utf-8'))
    z.writestr(info('目录/文件.txt'), b'data')

# The same names in GBK without the UTF-8 flag, as Chinese Windows tools write
# them. The last one ends in byte 0x5C, which is not a separator here.
orig = zipfile.ZipInfo._encodeFilenameFlags
zipfile.ZipInfo._encodeFilenameFlags = lambda self: (self.filename.encode('gbk'), self.flag_bits)
with zipfile.ZipFile(os.path.join(here, 'py-gbk.zip'), 'w') as z:
    z.writestr(info('说明.txt'), '中文'.encode('utf-8'))
    z.writestr(info('目录/文件.txt'), b'data')
    z.writestr(info('资料淺'), b'5c')
zipfile.ZipInfo._encodeFilenameFlags = orig

# A self-extractor's stub in front, offsets not adjusted.
buf = io.BytesIO()
with zipfile.ZipFile(buf, 'w') as z:
    z.writestr(info('hello.txt'), b'hello\n')
open(os.path.join(here, 'prefixed.zip'), 'wb').write(b'MZ' + b'\0' * 510 + buf.getvalue())

# 64 MiB of zeros in 64 KiB: possible for deflate, beyond the total-size guard.
with zipfile.ZipFile(os.path.join(here, 'bomb-zeros.zip'), 'w', compresslevel=9) as z:
    with z.open(info('zeros.bin'), 'w') as f:
        block = bytes(1 << 20)
        for _ in range(64): f.write(block)
EOF
# Check that the tools' archives read back.
for f in "$here"/zip-*.zip "$here"/7z-*.zip "$here"/py-*.zip; do unzip -tq "$f" >/dev/null; done
ls -l "$here"/*.zip
