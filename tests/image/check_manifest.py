#!/usr/bin/env python3
"""Checks the manifest that a packed installer carries, as the loader finds it.

The manifest of an executable is resource type 24, name 1; it is read here by wrestool, not by
our own packer's code. It must ask to run with the rights of whoever starts it: exactly one
requestedExecutionLevel, level "asInvoker", uiAccess "false". Anything else makes the system
prompt for elevation, or lets the installer drive other programs' windows.

usage: check_manifest.py INSTALLER.EXE
"""
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

SECURITY_NS = "urn:schemas-microsoft-com:asm.v3"


def fail(message):
    print(f"manifest check: {message}", file=sys.stderr)
    sys.exit(1)


def main():
    if len(sys.argv) != 2:
        fail("usage: check_manifest.py INSTALLER.EXE")
    extracted = subprocess.run(["wrestool", "-x", "--raw", "--type=24", "--name=1", sys.argv[1]],
                               capture_output=True)
    if extracted.returncode != 0 or not extracted.stdout:
        fail(f"no manifest resource 24/1: {extracted.stderr.decode(errors='replace').strip()}")
    try:
        root = ElementTree.fromstring(extracted.stdout)
    except ElementTree.ParseError as error:
        fail(f"the manifest is no well-formed XML: {error}")
    levels = root.findall(f".//{{{SECURITY_NS}}}requestedExecutionLevel")
    if len(levels) != 1:
        fail(f"{len(levels)} requestedExecutionLevel elements, not one")
    level = levels[0].get("level")
    ui_access = levels[0].get("uiAccess")
    if level != "asInvoker":
        fail(f"the execution level is {level!r}, not 'asInvoker'")
    if ui_access != "false":
        fail(f"uiAccess is {ui_access!r}, not 'false'")
    print("manifest check: ok (asInvoker, uiAccess false)")


if __name__ == "__main__":
    main()
