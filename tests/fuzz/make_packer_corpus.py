#!/usr/bin/env python3
"""Writes the seed corpora of the packer's fuzz targets: real files and their cuts at the
boundaries the readers step over (end of the DOS header, mid-PE header, mid-section table,
mid-resource directory; a cabinet's header, folder, file entry and first data block; an icon's
entry list and first image; a manifest mid-element). Each seed is named by its content's SHA-1,
as libFuzzer names what it adds.

Usage: make_packer_corpus.py WINDOWS_BIN STUBPACK ICON CORPUS_DIR
  WINDOWS_BIN  the windows preset's bin directory (stub.exe, demo-setup.exe, elevation setups)
  STUBPACK     the host build's stubpack, to pack installers
  ICON         the packer's built icon (build/host/tools/stubpack/installer.ico)
"""
import hashlib
import pathlib
import struct
import subprocess
import sys
import tempfile

MAX_LEN = {"packer_installer": 65536, "packer_setup_cabinet": 65536, "packer_icon": 32768,
           "packer_manifest": 8192}


def put(corpus, target, data):
    if len(data) > MAX_LEN[target]:
        return
    folder = corpus / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


def pe_cuts(data):
    """Offsets inside a PE file's headers and its resource directory."""
    cuts = [0x20, 0x40]
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    table = pe + 24 + optional_size
    cuts += [pe + 2, pe + 24 + 8, pe + 24 + optional_size // 2, table + 20, table + 40 * sections - 12]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    directories = pe + 24 + (96 if magic == 0x10B else 112)
    rva = struct.unpack_from("<I", data, directories + 16)[0]
    for i in range(sections):
        va, raw_size, raw_offset = struct.unpack_from("<III", data, table + 40 * i + 12)
        if rva and va <= rva < va + raw_size:
            base = raw_offset + rva - va
            cuts += [base + 8, base + 20, base + 60, base + 200]
    return [c for c in cuts if 0 < c < len(data)]


def cabinet_cuts(data):
    blocks_at = struct.unpack_from("<I", data, 36)[0]
    files_at = struct.unpack_from("<I", data, 16)[0]
    return [c for c in (20, 40, files_at + 10, blocks_at + 6, blocks_at + 40) if c < len(data)]


def without_checksums(data):
    """The cabinet with every data block's checksum 0 (none), so that mutations of the blocks
    reach the expansion instead of stopping at the checksum."""
    out = bytearray(data)
    at, blocks = struct.unpack_from("<IH", data, 36)
    for _ in range(blocks):
        packed = struct.unpack_from("<H", data, at + 4)[0]
        struct.pack_into("<I", out, at, 0)
        at += 8 + packed
    return bytes(out)


def main():
    bin_dir, stubpack, icon, corpus = map(pathlib.Path, sys.argv[1:5])
    tiny_archive = b"7z\xbc\xaf\x27\x1c\x00\x04" + bytes(24)
    setups = sorted(bin_dir.glob("elevation-setup*.exe"))
    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        archive = scratch / "app.7z"
        archive.write_bytes(tiny_archive)
        images = [bin_dir / "stub.exe", bin_dir / "demo-setup.exe"] + setups
        for storage in ("cabinet", "plain"):
            out = scratch / f"installer-{storage}.exe"
            subprocess.run([str(stubpack), "--archive", str(archive), "--setup",
                            str(bin_dir / "elevation-setup-as-invoker.exe"), "--output", str(out),
                            "--setup-storage", storage, "--stub", str(bin_dir / "stub.exe")], check=True)
            images.append(out)
        for path in images:
            data = path.read_bytes()
            put(corpus, "packer_installer", data)
            for cut in pe_cuts(data):
                put(corpus, "packer_installer", data[:cut])
        for path in [bin_dir / "stub.exe"] + setups:
            cab = scratch / (path.stem + ".cab")
            (scratch / "setup.exe").write_bytes(path.read_bytes())
            subprocess.run(["gcab", "-c", "-z", str(cab), "setup.exe"], check=True, cwd=scratch)
            data = cab.read_bytes()
            put(corpus, "packer_setup_cabinet", data)
            put(corpus, "packer_setup_cabinet", without_checksums(data))
            for cut in cabinet_cuts(data):
                put(corpus, "packer_setup_cabinet", data[:cut])
        for path in sorted((pathlib.Path(__file__).parents[1] / "packer" / "manifests").glob("*.xml")) + [
                pathlib.Path(__file__).parents[2] / "resources" / "manifest.xml"]:
            data = path.read_bytes()
            put(corpus, "packer_manifest", data)
            put(corpus, "packer_manifest", data[:len(data) // 2])
            put(corpus, "packer_manifest", b"\xef\xbb\xbf" + data)
        data = icon.read_bytes()
        put(corpus, "packer_icon", data)
        count = struct.unpack_from("<H", data, 4)[0]
        first = struct.unpack_from("<I", data, 6 + 12)[0]
        for cut in (4, 6, 6 + 8, 6 + 16 * count - 4, first + 20):
            put(corpus, "packer_icon", data[:cut])
        # One small image alone: the first entry pointing just behind a one-entry list.
        size = struct.unpack_from("<I", data, 6 + 8)[0]
        put(corpus, "packer_icon", struct.pack("<HHH", 0, 1, 1) + data[6:6 + 8] +
            struct.pack("<II", size, 22) + data[first:first + size])


if __name__ == "__main__":
    main()
