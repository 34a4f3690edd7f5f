#!/bin/sh
# Writes a small seed corpus for every fuzz target into OUTDIR/<target>/, made at run time by the
# real tools (GNU tar, bsdtar, Python's tarfile, gzip, pigz) so the repository holds no binaries.
# Usage: fuzz/make-seeds.sh OUTDIR
set -eu
out=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for t in fuzz_configfile fuzz_ipcchannel fuzz_tinytarheader fuzz_inflatearchive fuzz_inflatedifferential \
    fuzz_tinytarunpacker fuzz_packagesignature; do
    rm -rf "${out:?}/$t"
    mkdir -p "$out/$t"
done

# A small installation tree: a directory, files of 0, 5 and 600 bytes, a long name, a link.
src=$work/src
mkdir -p "$src/bin" "$src/data/deep"
printf 'hello' >"$src/readme.txt"
: >"$src/data/empty.dat"
head -c 600 /dev/urandom >"$src/bin/app.exe"
printf 'x' >"$src/data/deep/a-rather-long-file-name-that-needs-more-than-one-hundred-bytes-of-name-field-to-be-stored-whole.txt"
ln -s ../readme.txt "$src/bin/link"

tars=$work/tars
mkdir -p "$tars"
tar --format=ustar -cf "$tars/gnutar-ustar.tar" -C "$src" bin readme.txt
tar --format=gnu -cf "$tars/gnutar-gnu.tar" -C "$src" .
tar --format=pax -cf "$tars/gnutar-pax.tar" -C "$src" .
if command -v bsdtar >/dev/null; then
    bsdtar -cf "$tars/bsdtar.tar" -C "$src" .
fi
for fmt in ustar gnu pax; do
    python3 - "$tars/python-$fmt.tar" "$src" "$fmt" <<'PY'
import sys, tarfile
fmt = {'ustar': tarfile.USTAR_FORMAT, 'gnu': tarfile.GNU_FORMAT, 'pax': tarfile.PAX_FORMAT}[sys.argv[3]]
with tarfile.open(sys.argv[1], 'w', format=fmt) as t:
    t.add(sys.argv[2] + '/bin', arcname='bin')
    t.add(sys.argv[2] + '/readme.txt', arcname='readme.txt')
PY
done
# Hand-made records as the tests build them: names the installer refuses, a directory with a
# size, a size field of 77777777777, and a stream with a single end record.
python3 - "$tars" <<'PY'
import sys, os
def header(name, size, typ=b'0'):
    h = bytearray(512)
    h[0:len(name)] = name
    h[100:108] = b'0000644\0'
    h[124:136] = b'%011o\0' % size
    h[136:148] = b'14411573244\0'
    h[148:156] = b' ' * 8
    h[156:157] = typ
    h[257:265] = b'ustar\x0000'
    h[148:156] = b'%06o\0 ' % sum(h)
    return bytes(h)
def entry(name, data=b'', typ=b'0'):
    pad = (-len(data)) % 512
    return header(name, len(data), typ) + data + b'\0' * pad
end = b'\0' * 1024
d = sys.argv[1]
seeds = {
    'refused-names': entry(b'ok.txt', b'1') + entry(b'../x', b'2') + entry(b'up/sentinel', b'3')
                     + entry(b'C:/x') + entry(b'CON.txt') + end,
    'link-then-file': entry(b'l', typ=b'2') + entry(b'l/x', b'1') + end,
    'dir-with-size': header(b'd/', 1000, b'5') + entry(b'd/f', b'z' * 700) + end,
    'huge-size': header(b'big', 0o77777777777) + b'y' * 100,
    'single-end': entry(b'a', b'1') + b'\0' * 512 + entry(b'b', b'2'),
}
for name, data in seeds.items():
    open(os.path.join(d, name + '.tar'), 'wb').write(data)
PY

for f in "$tars"/*.tar; do
    name=$(basename "$f" .tar)
    cp "$f" "$out/fuzz_tinytarheader/$name"
    cp "$f" "$out/fuzz_tinytarunpacker/$name.tar"
    gzip -9n <"$f" >"$out/fuzz_tinytarunpacker/$name.tgz"
    cp "$out/fuzz_tinytarunpacker/$name.tgz" "$out/fuzz_inflatearchive/$name.gz"
    if command -v pigz >/dev/null; then
        pigz -z <"$f" >"$out/fuzz_inflatearchive/$name.zlib"
    fi
done
# Signatures: a package the target signs itself, unchanged and with one byte of the signature or
# the package changed; and signature files written here (base64 of 64 bytes, then of 63).
sig=$out/fuzz_packagesignature
{ printf '\001\000\000'; cat "$out/fuzz_tinytarunpacker/gnutar-ustar.tgz"; } >"$sig/signed"
{ printf '\001\007\004'; cat "$out/fuzz_tinytarunpacker/gnutar-ustar.tgz"; } >"$sig/signature-changed"
{ printf '\001\310\001'; cat "$out/fuzz_tinytarunpacker/gnutar-ustar.tgz"; } >"$sig/package-changed"
{ printf '\000\132'; head -c 64 /dev/zero | base64 -w0; printf '\r\n'; printf 'package'; } >"$sig/zeros"
{ printf '\000\124'; head -c 63 /dev/zero | base64 -w0; printf 'package'; } >"$sig/short"

# Two gzip members: only the first is read.
printf 'first' | gzip -n >"$out/fuzz_inflatearchive/two-members.gz"
printf 'second' | gzip -n >>"$out/fuzz_inflatearchive/two-members.gz"

# The differential target: a form byte, then the whole package (0) or its raw deflate data that
# the target wraps again (1: gzip, without the 10-byte header and 8-byte trailer of gzip -n;
# 2: zlib, without the 2-byte header and 4-byte trailer).
diff=$out/fuzz_inflatedifferential
for f in "$out"/fuzz_inflatearchive/*; do
    name=$(basename "$f")
    { printf '\000'; cat "$f"; } >"$diff/whole-$name"
    case $name in
    *.gz) { printf '\001'; tail -c +11 "$f" | head -c -8; } >"$diff/raw-$name" ;;
    *.zlib) { printf '\002'; tail -c +3 "$f" | head -c -4; } >"$diff/raw-$name" ;;
    esac
done
# Deflate data that ISA-L reads and zlib refuses: a block whose code is incomplete, a single code
# met with its missing bit, the fixed code's length symbol 286 (each then ends in a stored "hi").
printf '\001\004\300\201\010\000\000\000\200\000\177\353\043\002\000\375\377hi' >"$diff/incomplete-code"
printf '\001\004\300\201\010\000\000\000\000\040\177\353\033\002\000\375\377hi' >"$diff/single-code-bit-1"
printf '\001\113\034\003\000' >"$diff/length-286"

# Settings as the supervisor reads them, in Windows-1251 and with a UTF-8 byte-order mark.
cfg=$out/fuzz_configfile
cat >"$cfg/config.ini" <<'INI'
; supervisor settings
[CASH]
LogLevel = 7 # verbose
ExecutablePath = C:\cash\cash.exe
WorkingDirectory = .
ProgrammArguments = --scenario a=b ; not a comment
[INTERPROCESS]
CashAddress=127.0.0.1
CashPort=55006
ServerFilterAddress=0
LocalServerPort=55005
[MAINTENANCE]
DisableMaintenance=-1
MaintenanceTime=04:00
PythonExePath=python.exe
[CASH] # not a header
LogLevel=
INI
printf '[CASH]\r\nExecutablePath=C:\\\xea\xe0\xf1\xf1\xe0\\cash.exe\r\n[\xca\xc0\xd1\xd1\xc0]\r\nx=1\r\n' >"$cfg/cp1251.ini"
printf '\357\273\277[cash]\nlogLevel=18446744073709551615\nCashPort=-1\n' >"$cfg/utf8-bom.ini"

# Datagrams: each command, the answers, unknown codes, short and empty datagrams.
python3 - "$out/fuzz_ipcchannel" <<'PY'
import sys, os, struct
d = sys.argv[1]
seeds = {
    'restart': struct.pack('>hh', 0, 0),
    'update': struct.pack('>hh', 0, 4) + b'pkg/update.tgz\0tail',
    'ack-5': struct.pack('>hh', 1, 5),
    'ack-5-extra': struct.pack('>hh', 1, 5) + b'xx',
    'nak-5': struct.pack('>hh', 2, 5),
    'code-7': struct.pack('>hh', 0, 7),
    'code-300': struct.pack('>hh', 0, 300),
    'type-3': struct.pack('>hh', 3, 0),
    'one-byte': b'\0',
    'three-bytes': b'\0\0\0',
    'empty': b'',
}
for name, data in seeds.items():
    open(os.path.join(d, name), 'wb').write(data)
PY
