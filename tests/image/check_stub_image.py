#!/usr/bin/env python3
"""Checks the rules of the stub's image, read from the stripped file itself.

x86-64, GUI subsystem, entry point at StubEntry (its address taken from the link map), section
alignment 4096 and file alignment 512, no timestamp, ASLR (with high entropy) and NX on, no
section both writable and executable, imports from KERNEL32, ADVAPI32 and SHELL32 only (each a
KnownDLL, which the loader takes from the system and never looks for beside the installer), no
delay-load imports, no loader function that searches (libraries are loaded by full path through
LoadLibraryExW only), no TLS directory and no static constructors.

usage: check_stub_image.py STUB.EXE [LINK.MAP]
"""
import re
import struct
import sys

ALLOWED_DLLS = {"KERNEL32.DLL", "ADVAPI32.DLL", "SHELL32.DLL"}
# The KnownDLLs of the Windows versions the stub runs on (the list under the Session Manager's
# KnownDLLs key), as a fixed list: an import of anything else would be searched for in the
# installer's own directory, where a planted copy would load first.
KNOWN_DLLS = {
    "ADVAPI32.DLL", "CLBCATQ.DLL", "COMBASE.DLL", "COMDLG32.DLL", "COML2.DLL", "DIFXAPI.DLL",
    "GDI32.DLL", "GDIPLUS.DLL", "IMAGEHLP.DLL", "IMM32.DLL", "KERNEL32.DLL", "MSCTF.DLL",
    "MSVCRT.DLL", "NORMALIZ.DLL", "NSI.DLL", "OLE32.DLL", "OLEAUT32.DLL", "PSAPI.DLL",
    "RPCRT4.DLL", "SECHOST.DLL", "SETUPAPI.DLL", "SHCORE.DLL", "SHELL32.DLL", "SHLWAPI.DLL",
    "USER32.DLL", "WLDAP32.DLL", "WS2_32.DLL",
}
# Holds for the check itself: widening the allowed list beyond the KnownDLLs breaks it here.
assert ALLOWED_DLLS <= KNOWN_DLLS, "an allowed import is no KnownDLL"
# Loader entry points that take a bare name or search a path; LoadLibraryExW with a full path
# is the one way the stub loads a library.
SEARCHING_LOADERS = {"LoadLibraryA", "LoadLibraryW", "LoadLibraryExA"}
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100
IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA = 0x0020
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000


def fail(message):
    print(f"stub image check: {message}", file=sys.stderr)
    sys.exit(1)


def main():
    if len(sys.argv) not in (2, 3):
        fail("usage: check_stub_image.py STUB.EXE [LINK.MAP]")
    data = open(sys.argv[1], "rb").read()
    if data[:2] != b"MZ":
        fail("not an MZ image")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail("no PE signature")
    machine, sections, timestamp, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    if machine != 0x8664:
        fail(f"machine {machine:#x} is not x86-64")
    if timestamp != 0:
        fail(f"timestamp {timestamp:#x} is set; two builds would differ")
    opt = pe + 24
    if struct.unpack_from("<H", data, opt)[0] != 0x20B:
        fail("not a PE32+ image")
    entry = struct.unpack_from("<I", data, opt + 16)[0]
    image_base = struct.unpack_from("<Q", data, opt + 24)[0]
    section_alignment, file_alignment = struct.unpack_from("<II", data, opt + 32)
    subsystem, dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
    directory_count = struct.unpack_from("<I", data, opt + 108)[0]
    directories = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(directory_count)]

    if section_alignment != 4096:
        fail(f"section alignment {section_alignment} is not 4096")
    if file_alignment != 512:
        fail(f"file alignment {file_alignment} is not 512")
    if subsystem != 2:
        fail(f"subsystem {subsystem} is not the GUI subsystem (2)")
    for flag, name in ((IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, "ASLR"),
                       (IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA, "high-entropy ASLR"),
                       (IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "NX")):
        if not dll_characteristics & flag:
            fail(f"{name} is off")

    table = opt + optional_size
    section_list = []
    for i in range(sections):
        name, vsize, vaddr, rsize, rptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        characteristics = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
        section_name = name.rstrip(b"\0").decode()
        if characteristics & IMAGE_SCN_MEM_EXECUTE and characteristics & IMAGE_SCN_MEM_WRITE:
            fail(f"section {section_name} is both writable and executable")
        section_list.append((section_name, vaddr, max(vsize, rsize), rptr, rsize))
    names = [s[0] for s in section_list]
    for forbidden in (".tls", ".CRT"):
        if forbidden in names:
            fail(f"section {forbidden} present")

    def at(rva):
        for _, vaddr, size, rptr, rsize in section_list:
            if vaddr <= rva < vaddr + size:
                return rptr + rva - vaddr
        fail(f"address {rva:#x} lies in no section")

    if len(directories) > 9 and directories[9] != (0, 0):
        fail("a TLS directory is present")

    import_rva, import_size = directories[1]
    dlls = []
    functions = set()
    if import_size:
        offset = at(import_rva)
        while True:
            descriptor = struct.unpack_from("<IIIII", data, offset)
            if descriptor == (0, 0, 0, 0, 0):
                break
            name_offset = at(descriptor[3])
            dlls.append(data[name_offset:data.index(b"\0", name_offset)].decode().upper())
            thunk = at(descriptor[0] or descriptor[4])
            while True:
                lookup = struct.unpack_from("<Q", data, thunk)[0]
                if lookup == 0:
                    break
                if not lookup >> 63:  # imported by name, not by ordinal
                    name_at = at(lookup & 0x7FFFFFFF) + 2  # past the hint
                    functions.add(data[name_at:data.index(b"\0", name_at)].decode())
                thunk += 8
            offset += 20
    extra = sorted(set(dlls) - ALLOWED_DLLS)
    if extra:
        fail(f"imports from {', '.join(extra)}")
    if len(directories) > 13 and directories[13] != (0, 0):
        fail("a delay-load import directory is present")
    searching = sorted(functions & SEARCHING_LOADERS)
    if searching:
        fail(f"imports {', '.join(searching)}: a loader that searches for the library")

    # The linker lays the constructor list out as -1, the constructors, 0, and the destructor
    # list likewise right behind it; an empty pair reads -1, 0, -1, 0.
    text = next((s for s in section_list if s[0] == ".text"), None)
    if text is None:
        fail("no .text section")
    body = data[text[3]:text[3] + text[4]]
    marker = b"\xff" * 8
    start = body.find(marker)
    if start < 0:
        fail("no constructor list found in .text")
    if body[start + 8:start + 32] != b"\0" * 8 + marker + b"\0" * 8:
        fail("the image carries static constructors or destructors")

    if len(sys.argv) == 3:
        link_map = open(sys.argv[2], encoding="utf-8", errors="replace").read()
        found = re.search(r"^\s+0x([0-9a-f]+)\s+StubEntry\s*$", link_map, re.M)
        if not found:
            fail("StubEntry is not in the link map")
        if int(found.group(1), 16) != image_base + entry:
            fail("the entry point is not StubEntry")

    print(f"stub image check: ok ({len(data)} bytes; imports {', '.join(sorted(set(dlls)))}; "
          f"{len(functions)} functions)")


if __name__ == "__main__":
    main()
