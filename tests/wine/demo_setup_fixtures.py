#!/usr/bin/env python3
"""Makes the payloads of the demo-setup Wine tests.

    demo_setup_fixtures.py SEVEN_ZIP GCAB DEMO_SETUP_EXE OUTPUT_DIR

Writes into OUTPUT_DIR: archive.7z (a real archive of two sample files, made by 7zz), its damaged
variants, SETUP.EX_ (demo-setup as setup.exe in an MSZIP cabinet made by gcab), and two resource
scripts: installer.rc with the stub's shipped layout, and archives.rc with the archive and its
variants side by side, which only demo-setup reads.
"""
import os
import random
import shutil
import subprocess
import sys

# Each variant breaks one thing that demo-setup checks, and only that.
def variants(archive):
    def flipped(offset, mask):
        damaged = bytearray(archive)
        damaged[offset] ^= mask
        return bytes(damaged)

    return {
        # One byte short of the start header, the signature intact.
        "short.bin": archive[:31],
        # The signature's last byte changed.
        "signature.bin": flipped(5, 0x01),
        # The stored CRC itself changed.
        "crc-field.bin": flipped(8, 0x01),
        # The first and the last byte that the CRC covers.
        "crc-first.bin": flipped(12, 0x01),
        "crc-last.bin": flipped(31, 0x80),
    }


def main():
    seven_zip, gcab, demo_setup, output = sys.argv[1:5]
    os.makedirs(output, exist_ok=True)

    sample = os.path.join(output, "sample")
    shutil.rmtree(sample, ignore_errors=True)
    os.makedirs(sample)
    with open(os.path.join(sample, "readme.txt"), "w", encoding="utf-8") as out:
        out.write("The demo application: a read-me and some data.\n")
    with open(os.path.join(sample, "data.bin"), "wb") as out:
        out.write(random.Random(7).randbytes(150_000))

    archive_path = os.path.join(output, "archive.7z")
    if os.path.exists(archive_path):
        os.remove(archive_path)  # 7zz would add to it
    subprocess.run([seven_zip, "a", "-bd", "-bso0", archive_path, "readme.txt", "data.bin"],
                   cwd=sample, check=True)
    with open(archive_path, "rb") as archive_file:
        archive = archive_file.read()
    for name, content in variants(archive).items():
        with open(os.path.join(output, name), "wb") as out:
            out.write(content)

    # The stub expands the cabinet's first file into setup.exe, so that is its name inside.
    shutil.copyfile(demo_setup, os.path.join(output, "setup.exe"))
    cabinet = os.path.join(output, "SETUP.EX_")
    if os.path.exists(cabinet):
        os.remove(cabinet)
    subprocess.run([gcab, "-c", "-z", "SETUP.EX_", "setup.exe"], cwd=output, check=True)

    def quoted(name):
        return '"' + os.path.join(output, name).replace("\\", "/") + '"'

    with open(os.path.join(output, "installer.rc"), "w", encoding="ascii") as rc:
        rc.write("NIMBET.PACKED.7Z B7 %s\n" % quoted("archive.7z"))
        rc.write("SETUP.EX_ BL %s\n" % quoted("SETUP.EX_"))
    with open(os.path.join(output, "archives.rc"), "w", encoding="ascii") as rc:
        rc.write("NIMBET.PACKED.7Z B7 %s\n" % quoted("archive.7z"))
        for name, resource in [("short.bin", "NIMBET.SHORT"), ("signature.bin", "NIMBET.SIGNATURE"),
                               ("crc-field.bin", "NIMBET.CRC.FIELD"),
                               ("crc-first.bin", "NIMBET.CRC.FIRST"),
                               ("crc-last.bin", "NIMBET.CRC.LAST")]:
            rc.write("%s B7 %s\n" % (resource, quoted(name)))


if __name__ == "__main__":
    main()
