#!/usr/bin/env python3
"""Zips as real tools write them, for the package check's tests: Info-ZIP's
zip, Python's zipfile and bsdtar, each checked with `unzip -t` here.
Usage: make_real_zips.py OUTDIR"""
import io, os, random, shutil, subprocess, sys, tempfile, zipfile

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
work = tempfile.mkdtemp()
rnd = random.Random(2026)


def path(name):
    return os.path.join(out, name)


def run(cmd, **kw):
    subprocess.run(cmd, check=True, cwd=work, **kw)


def write(name, data):
    with open(os.path.join(work, name), "wb") as f:
        f.write(data)


script = (b'assert(getprop("ro.product.device") == "crespo" || getprop("ro.build.product") == "crespo");\n'
          b'ui_print("Mirq");\n')
os.makedirs(os.path.join(work, "META-INF/com/google/android"))
write("META-INF/com/google/android/update-binary", bytes(rnd.getrandbits(8) for _ in range(20000)))
write("META-INF/com/google/android/updater-script", script)
write("boot.img", bytes(rnd.getrandbits(8) for _ in range(6000)) + bytes(262144))
# The system it installs, as full packages name it: build.prop, and the OTA metadata of newer ones.
os.makedirs(os.path.join(work, "system"))
os.makedirs(os.path.join(work, "META-INF/com/android"))
write("system/build.prop", b"# begin build properties\nro.build.id=GRK39F\nro.build.display.id=MirqROM 2.3.6 GRK39F\n"
                           b"ro.build.date.utc=1316457480\nro.build.date=Mon Sep 19 18:38:00 UTC 2011\n")
write("META-INF/com/android/metadata", b"post-build=google/soju/crespo:2.3.6/GRK39F/189904:user/release-keys\n"
                                       b"post-timestamp=1316457480\npre-device=crespo\n")
rom = ["META-INF/com/google/android/update-binary", "META-INF/com/google/android/updater-script", "boot.img",
       "system/build.prop", "META-INF/com/android/metadata"]

# A zero-filled entry whose last input fills zlib's output buffer (one that
# a check reading only until the input ends refuses).
with zipfile.ZipFile(path("python-zero-boot.zip"), "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("boot.img", bytes(262165))
with zipfile.ZipFile(path("python-zeros.zip"), "w", zipfile.ZIP_DEFLATED) as z:
    for d in range(1, 1201):
        z.writestr("zeros/%04d.img" % d, bytes(262144 + d))
# Zero-padded images, as ROMs carry their boot and recovery images.
for k in range(12):
    write("img%02d.img" % k, bytes(rnd.getrandbits(8) for _ in range(4096 * (k + 1))) + bytes((4 << 20) - 4096 * (k + 1)))
run(["zip", "-q", "-X", path("infozip-images.zip")] + ["img%02d.img" % k for k in range(12)])
# Info-ZIP: a ROM; one written to a pipe (data descriptors); an entry from
# standard input (zip64 records with the classic fields not saturated).
run(["zip", "-q", "-X", path("infozip-rom.zip")] + rom)
run(["sh", "-c", "zip -q -X - %s | cat > %s" % (" ".join(rom), path("infozip-pipe.zip"))])
run(["sh", "-c", "head -c 1000 /dev/urandom | zip -q %s -" % path("infozip-stdin.zip")])
# Python: a ROM written to a stream that cannot seek (data descriptors);
# exactly 65,535 entries (no zip64 record).
class Unseekable(io.RawIOBase):
    def __init__(self, f):
        self.f = f
    def writable(self):
        return True
    def write(self, b):
        return self.f.write(b)
with open(path("python-stream.zip"), "wb") as f, zipfile.ZipFile(Unseekable(f), "w", zipfile.ZIP_DEFLATED) as z:
    for name in rom:
        z.write(os.path.join(work, name), name)
with zipfile.ZipFile(path("python-65535.zip"), "w", zipfile.ZIP_STORED) as z:
    for i in range(65535):
        z.writestr("e/%05d" % i, b"")
# Python past 2 GiB: a 3 GiB image stored, then the ROM deflated (zip64 end
# records with the classic fields not saturated, header offsets in zip64
# extras). Its zeros become holes once checked, so it keeps little disk.
with open(os.path.join(work, "system.img"), "wb") as f:
    f.truncate(3 << 30)
with zipfile.ZipFile(path("python-3gib.zip"), "w", zipfile.ZIP_DEFLATED) as z:
    z.write(os.path.join(work, "system.img"), "system.img", compress_type=zipfile.ZIP_STORED)
    for name in rom:
        z.write(os.path.join(work, name), name)
os.remove(os.path.join(work, "system.img"))
# bsdtar with its zip64 option: zip64 records for small files.
run(["bsdtar", "--format", "zip", "--options", "zip:zip64", "-cf", path("bsdtar-zip64.zip")] + rom)

for name in os.listdir(out):
    if name.endswith(".zip"):
        subprocess.run(["unzip", "-tqq", path(name)], check=True)
# Only saves disk: a file system that cannot punch holes keeps the zeros.
subprocess.run(["fallocate", "--dig-holes", path("python-3gib.zip")])
shutil.rmtree(work)
open(path("stamp"), "w").close()
