#!/usr/bin/env python3
"""Deterministic synthetic update packages for the installation benchmark.

    genpkg.py OUTDIR [many-small|typical|few-large|many-entries ...]

Writes OUTDIR/NAME.tgz (gzip-compressed ustar, every directory listed before the files in it,
fixed owner and times) for each kind asked for (the first three by default). The same seed gives the
same bytes on every machine with the same zlib, so runs on different days measure the same work.

File contents mix what real update packages hold, so they compress like them: text (source,
configuration, translations), structured binary (tables of small numbers, code-like byte
patterns), zero-filled padding and incompressible bytes (already compressed resources).
"""
import io
import os
import random
import sys
import tarfile
import zlib

SEED = 20240410
VERSION = 1  # bump when the output changes, so cached packages are rebuilt

KIB = 1024
MIB = 1024 * KIB

WORDS = (
    "cash till receipt total amount price discount tax card payment change drawer shift "
    "operator cashier article barcode scanner printer fiscal report journal session open "
    "close error warning info debug config value key section path file update backup "
    "install version build release module plugin library service client server port "
    "address request response timeout retry queue buffer record header index table column"
).split()


def make_corpus(rng, size):
    """A pool of mixed content; files are cut from it at random places."""
    parts = []
    total = 0
    kinds = ("text", "text", "code", "table", "zeros", "random")
    while total < size:
        kind = rng.choice(kinds)
        n = rng.randint(4 * KIB, 64 * KIB)
        if kind == "text":
            words = []
            length = 0
            while length < n:
                w = rng.choice(WORDS)
                if rng.random() < 0.1:
                    w = "%s=%d" % (w, rng.randint(0, 99999))
                words.append(w)
                length += len(w) + 1
                if rng.random() < 0.08:
                    words.append("\n" + " " * rng.choice((0, 4, 8)))
            chunk = " ".join(words).encode()[:n]
        elif kind == "code":
            # Instruction-like: a small alphabet of opcodes with varying operands.
            ops = [rng.randbytes(rng.randint(1, 4)) for _ in range(64)]
            out = bytearray()
            while len(out) < n:
                out += rng.choice(ops)
                out += bytes((rng.randint(0, 15), rng.randint(0, 255)))
            chunk = bytes(out[:n])
        elif kind == "table":
            out = bytearray()
            base = rng.randint(0, 1 << 20)
            while len(out) < n:
                base += rng.randint(0, 300)
                out += base.to_bytes(4, "little") + rng.randint(0, 9).to_bytes(4, "little")
            chunk = bytes(out[:n])
        elif kind == "zeros":
            chunk = bytes(n // 4)
        else:
            chunk = rng.randbytes(n)
        parts.append(chunk)
        total += len(chunk)
    return b"".join(parts)[:size]


class Content:
    def __init__(self, rng):
        self.rng = rng
        # Larger than deflate's 32 KiB window many times over, so cuts do not repeat cheaply.
        self.corpus = make_corpus(rng, 12 * MIB)

    def data(self, size):
        out = bytearray()
        while len(out) < size:
            n = min(size - len(out), self.rng.randint(8 * KIB, 256 * KIB))
            start = self.rng.randrange(0, len(self.corpus) - n)
            out += self.corpus[start:start + n]
        return bytes(out)


def log_uniform(rng, low, high):
    return int(round(low * (high / low) ** rng.random()))


def many_small(rng):
    """About 5,000 files of 1 to 64 KiB in 100 directories (10 top, 9 below each)."""
    dirs = []
    for i in range(10):
        top = "m%02d" % i
        dirs.append(top)
        for j in range(9):
            dirs.append("%s/s%d" % (top, j))
    entries = []
    files = {d: [] for d in dirs}
    for n in range(5000):
        d = dirs[rng.randrange(len(dirs))]
        files[d].append(("%s/f%04d.dat" % (d, n), log_uniform(rng, 1 * KIB, 64 * KIB)))
    for d in dirs:
        entries.append((d, None))
        entries.extend(files[d])
    return entries


def typical(rng):
    """A program directory: a few big binaries, libraries, plug-ins, resources and settings."""
    entries = [("bin", None)]
    for name, size in (("bin/cashapp", 9 * MIB), ("bin/localcashserver", 3 * MIB),
                       ("bin/updater", 1 * MIB), ("bin/fiscal-driver", 2 * MIB)):
        entries.append((name, size))
    entries.append(("lib", None))
    for i in range(40):
        entries.append(("lib/lib%02d.so" % i, log_uniform(rng, 64 * KIB, 2 * MIB)))
    entries.append(("plugins", None))
    for group in ("printers", "scanners", "payment"):
        entries.append(("plugins/" + group, None))
        for i in range(20):
            entries.append(("plugins/%s/p%02d.so" % (group, i), log_uniform(rng, 16 * KIB, 512 * KIB)))
    entries.append(("share", None))
    for group in ("translations", "images", "forms"):
        entries.append(("share/" + group, None))
        for i in range(50):
            entries.append(("share/%s/r%03d.res" % (group, i), log_uniform(rng, 1 * KIB, 400 * KIB)))
    entries.append(("etc", None))
    for i in range(30):
        entries.append(("etc/conf%02d.ini" % i, log_uniform(rng, 200, 8 * KIB)))
    return entries


def few_large(rng):
    return [("data", None)] + [("data/large%d.bin" % i, 64 * MIB) for i in range(4)]


def many_entries(rng):
    """100,000 empty files, each a single header record, and last one in a directory no entry
    makes: every file is written and then every one undone (not among the benchmark's packages;
    for measuring by hand with installbench)."""
    return [("f%d" % i, 0) for i in range(100000)] + [("missing/last", 1)]


KINDS = {"many-small": many_small, "typical": typical, "few-large": few_large,
         "many-entries": many_entries}


def build(kind, path):
    rng = random.Random("%d-%s" % (SEED, kind))
    content = Content(rng)
    entries = KINDS[kind](rng)
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, size in entries:
            info = tarfile.TarInfo(name)
            info.mtime = 1712714401
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            if size is None:
                info.type = tarfile.DIRTYPE
                info.mode = 0o755
                tar.addfile(info)
            else:
                info.size = size
                info.mode = 0o755 if name.startswith("bin/") else 0o644
                tar.addfile(info, io.BytesIO(content.data(size)))
    # gzip wrapper (wbits 31) with a zero time stamp: the same bytes on every run.
    packer = zlib.compressobj(6, zlib.DEFLATED, 31)
    tmp = path + ".part"
    with open(tmp, "wb") as out:
        view = raw.getbuffer()
        for start in range(0, len(view), 4 * MIB):
            out.write(packer.compress(view[start:start + 4 * MIB]))
        out.write(packer.flush())
        del view
    os.replace(tmp, path)
    return len(raw.getvalue())


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    outdir = sys.argv[1]
    kinds = sys.argv[2:] or ["many-small", "typical", "few-large"]
    os.makedirs(outdir, exist_ok=True)
    for kind in kinds:
        path = os.path.join(outdir, kind + ".tgz")
        stamp = path + ".v%d" % VERSION
        if os.path.exists(path) and os.path.exists(stamp):
            continue
        size = build(kind, path)
        with open(stamp, "w") as f:
            f.write("%d\n" % size)
        print("%s: %d bytes of tar, %d bytes packed" % (path, size, os.path.getsize(path)))


if __name__ == "__main__":
    main()
