#!/usr/bin/env python3
"""The installed packer, as its users get it.

  install_test.py relocated BUILD WINDOWS_BIN   cmake --install, the prefix moved, stubpack run
  install_test.py sample BUILD WINDOWS_BIN SRC  a project with find_package(Stubpack), under Wine
  install_test.py deb BUILD WINDOWS_BIN         cpack -G DEB, its files and fields, dpkg -x
  install_test.py zip BUILD WINDOWS_BIN         the windows build's zip, its stubpack.exe under Wine

Everything happens in a scratch directory under /tmp; nothing is installed into the system.
"""
import fcntl
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

FAILURES = []


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print("FAIL: " + message, file=sys.stderr)
    return condition


def run(argv, env=None, cwd=None):
    """Output goes through a file, never a pipe: Wine's background server would hold a pipe open."""
    print("$ " + " ".join(argv), flush=True)
    with tempfile.TemporaryFile("w+") as out:
        completed = subprocess.run(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.STDOUT, text=True, timeout=300)
        out.seek(0)
        completed.stdout = out.read()
    return completed


def must(argv, **kwargs):
    result = run(argv, **kwargs)
    if result.returncode != 0:
        sys.exit(f"{argv[0]} failed ({result.returncode}):\n{result.stdout}")
    return result


def make_archive(directory):
    """A small 7z archive of one text file."""
    content = os.path.join(directory, "app")
    os.makedirs(content)
    with open(os.path.join(content, "hello.txt"), "w") as f:
        f.write("hello\n")
    archive = os.path.join(directory, "app.7z")
    must(["7zz", "a", "-bd", "-bso0", archive, "hello.txt"], cwd=content)
    return archive


def environment_without_stub():
    env = dict(os.environ)
    env.pop("STUBPACK_STUB", None)
    return env


def pack_and_inspect(stubpack, archive, setup, output, env):
    """Packs without --stub; the installer must be whole and inspect must read it."""
    packed = run([stubpack, "--archive", archive, "--setup", setup, "--output", output], env=env)
    if not check(packed.returncode == 0, f"packing without --stub exits {packed.returncode}: "
                 f"{packed.stdout}"):
        return
    listing = run([stubpack, "inspect", output], env=env)
    check(listing.returncode == 0 and "NIMBET.PACKED.7Z" in listing.stdout,
          f"inspect of the installer: {listing.stdout}")


def exit_statuses(help_text):
    """The lines of --help's exit status section: [(code, text)]."""
    section = re.search(r"^Exit status[^\n]*:\n((?:  \d+ .*\n)+)", help_text, re.M)
    if not section:
        return []
    return [tuple(line.split(None, 1)) for line in section.group(1).splitlines()]


def relocated(build, windows_bin, scratch):
    first = os.path.join(scratch, "first")
    must(["cmake", "--install", build, "--prefix", first])
    prefix = os.path.join(scratch, "moved", "elsewhere")
    os.makedirs(os.path.dirname(prefix))
    shutil.move(first, prefix)

    expected = ["bin/stubpack", "share/stubpack/stub.exe", "share/stubpack/demo-setup.exe",
                "share/man/man1/stubpack.1", "share/doc/stubpack/README.md",
                "lib/cmake/Stubpack/StubpackConfig.cmake",
                "lib/cmake/Stubpack/StubpackConfigVersion.cmake",
                "lib/cmake/Stubpack/StubpackAddInstaller.cmake",
                "lib/cmake/Stubpack/StubpackTargets.cmake"]
    source_docs = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "..", "docs")
    expected += ["share/doc/stubpack/docs/" + name for name in sorted(os.listdir(source_docs))
                 if name.endswith(".md")]
    for path in expected:
        check(os.path.isfile(os.path.join(prefix, path)), f"not installed: {path}")
    with open(os.path.join(windows_bin, "stub.exe"), "rb") as a, \
            open(os.path.join(prefix, "share/stubpack/stub.exe"), "rb") as b:
        check(a.read() == b.read(), "the installed stub differs from the windows preset's")

    stubpack = os.path.join(prefix, "bin", "stubpack")
    env = environment_without_stub()
    archive = make_archive(os.path.join(scratch, "input"))
    setup = os.path.join(prefix, "share/stubpack/demo-setup.exe")
    pack_and_inspect(stubpack, archive, setup, os.path.join(scratch, "installer.exe"), env)
    # Through a symbolic link in another directory, as from PATH.
    links = os.path.join(scratch, "links")
    os.makedirs(links)
    os.symlink(stubpack, os.path.join(links, "stubpack"))
    pack_and_inspect(os.path.join(links, "stubpack"), archive, setup,
                     os.path.join(scratch, "linked.exe"), env)

    # Without the installed stub, nothing is written and every place tried is named.
    installed_stub = os.path.join(prefix, "share/stubpack/stub.exe")
    aside = os.path.join(scratch, "stub-aside.exe")
    shutil.move(installed_stub, aside)
    output = os.path.join(scratch, "none.exe")
    missing = run([stubpack, "--archive", archive, "--setup", setup, "--output", output], env=env)
    check(missing.returncode == 3, f"no stub: exit {missing.returncode}, not 3")
    check(installed_stub in missing.stdout and "--stub" in missing.stdout,
          f"no stub: the message names {installed_stub}: {missing.stdout}")
    check(not os.path.exists(output), "no stub: an output was written")
    # STUBPACK_STUB names one, and a wrong one is an error of its own.
    env["STUBPACK_STUB"] = aside
    pack_and_inspect(stubpack, archive, setup, os.path.join(scratch, "from-env.exe"), env)
    env["STUBPACK_STUB"] = os.path.join(scratch, "no-such-stub.exe")
    wrong = run([stubpack, "--archive", archive, "--setup", setup, "--output", output], env=env)
    check(wrong.returncode == 3 and "STUBPACK_STUB" in wrong.stdout and
          "no-such-stub.exe" in wrong.stdout, f"a wrong STUBPACK_STUB: {wrong.stdout}")

    # The man page renders without warnings and holds --help's exit statuses.
    page = os.path.join(prefix, "share/man/man1/stubpack.1")
    rendered = run(["groff", "-man", "-Tutf8", "-ww", "-P-cbou", page])
    check(rendered.returncode == 0, f"groff: {rendered.returncode}")
    check("warning" not in rendered.stdout, f"groff warns: {rendered.stdout[:500]}")
    text = re.sub(r"\s+", " ", rendered.stdout.replace("\u2010\n", "").replace("-\n", ""))
    statuses = exit_statuses(run([stubpack, "--help"], env=env).stdout)
    check(len(statuses) >= 2, "--help lists no exit statuses")
    for code, meaning in statuses:
        meaning = re.sub(r"\s+", " ", meaning)
        check(f"{code} {meaning}" in text,
              f"the man page lacks exit status {code}: {meaning}")
    for section in ["NAME", "SYNOPSIS", "DESCRIPTION", "ENVIRONMENT", "FILES"]:
        check(re.search(rf"^{section}$", rendered.stdout, re.M), f"the man page has no {section}")
    if shutil.which("man"):
        shown = run(["man", "-l", page], env=dict(env, MANPAGER="cat", MANWIDTH="80"))
        check(shown.returncode == 0 and "stubpack" in shown.stdout, f"man -l: {shown.stdout[:300]}")


def prepare_wine(prefix):
    """The build's Wine prefix, made once under the lock that the Wine tests take."""
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stamp = os.path.join(prefix, ".wine-tests-ready")
        if not os.path.exists(stamp):
            shutil.rmtree(prefix, ignore_errors=True)
            must(["wineboot", "-i"], env=env)
            must(["wineserver", "-w"], env=env)
            with open(stamp, "w") as f:
                f.write("created by wine-tests\n")
    run(["wineserver", "-p20"], env=env)
    run(["wine", "cmd", "/c", "exit"], env=env)
    return env


def windows_path(path):
    return "Z:" + os.path.realpath(path).replace("/", "\\")


def sample(build, windows_bin, source, scratch):
    prefix = os.path.join(scratch, "prefix")
    must(["cmake", "--install", build, "--prefix", prefix])
    project = os.path.join(scratch, "sample")
    shutil.copytree(source, project)
    # A copy of setup, so that touching it changes nothing of the windows preset's.
    setup = os.path.join(scratch, "setup.exe")
    shutil.copy(os.path.join(windows_bin, "demo-setup.exe"), setup)
    binary = os.path.join(scratch, "build")
    must(["cmake", "-S", project, "-B", binary, "-G", "Ninja", f"-DCMAKE_PREFIX_PATH={prefix}",
          f"-DSAMPLE_SETUP={setup}"], env=environment_without_stub())
    must(["cmake", "--build", binary])
    installer = os.path.join(binary, "dist", "installer.exe")
    if not check(os.path.isfile(installer), "the sample built no installer.exe"):
        return
    # OPTIONS reached stubpack: the version block holds the sample's product name (UTF-16).
    with open(installer, "rb") as f:
        check("Stubpack Sample".encode("utf-16-le") in f.read(),
              "the sample's OPTIONS did not reach stubpack")

    # Run it as a user would, through the launcher for the full exit code.
    env = prepare_wine(os.path.join(build, "wine-prefix"))
    run_dir = os.path.join(scratch, "run")
    installed = os.path.join(scratch, "installed")
    os.makedirs(run_dir)
    os.makedirs(installed)
    shutil.copy(installer, run_dir)
    command_line = os.path.join(scratch, "command-line.txt")
    with open(command_line, "w") as f:
        f.write(f'"{windows_path(run_dir)}\\installer.exe" --install-dir="{windows_path(installed)}"'
                " --exit-code=42")
    launched = run(["wine", os.path.join(windows_bin, "launcher.exe"),
                    windows_path(run_dir) + "\\installer.exe", windows_path(command_line)], env=env)
    check(re.search(r"exit=42\b", launched.stdout), f"the installer's exit code: {launched.stdout}")
    with open(os.path.join(binary, "app", "app.7z"), "rb") as a:
        copied = os.path.join(installed, "archive.7z")
        check(os.path.isfile(copied) and open(copied, "rb").read() == a.read(),
              "setup did not install the sample's archive")
    report = os.path.join(installed, "setup-report.txt")
    check(os.path.isfile(report), "setup wrote no report")
    check(sorted(os.listdir(run_dir)) == ["installer.exe"], f"left beside the installer: "
          f"{sorted(os.listdir(run_dir))}")

    # A second build packs nothing; a changed application file or setup packs again.
    def mtime():
        return os.stat(installer).st_mtime_ns

    before = mtime()
    again = must(["cmake", "--build", binary, "--", "-d", "explain"])
    check(mtime() == before and "no work to do" in again.stdout,
          f"a build without changes did work: {again.stdout}")
    for changed in [os.path.join(project, "app/payload/README.txt"), setup]:
        os.utime(changed, ns=(before + 10**9, before + 10**9))
        rebuilt = must(["cmake", "--build", binary])
        check(mtime() != before and "Packing installer" in rebuilt.stdout,
              f"touching {os.path.basename(changed)} did not pack again: {rebuilt.stdout}")
        before = mtime()
    # A new application file is picked up too (the folder is globbed at build time).
    with open(os.path.join(project, "app/payload/docs/new.txt"), "w") as f:
        f.write("new\n")
    must(["cmake", "--build", binary])
    check(mtime() != before, "a new application file did not pack again")

    # Makefiles build each directory on its own: the archive, made in app/, must come first
    # through DEPENDS, in one build from nothing.
    makefiles = os.path.join(scratch, "build-makefiles")
    must(["cmake", "-S", project, "-B", makefiles, "-G", "Unix Makefiles",
          f"-DCMAKE_PREFIX_PATH={prefix}", f"-DSAMPLE_SETUP={setup}"], env=environment_without_stub())
    made = run(["cmake", "--build", makefiles])
    check(made.returncode == 0 and os.path.isfile(os.path.join(makefiles, "dist", "installer.exe")),
          f"the sample with Makefiles: {made.stdout}")


def deb(build, windows_bin, scratch):
    out = os.path.join(scratch, "cpack")
    must(["cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out])
    debs = [name for name in os.listdir(out) if name.endswith(".deb")]
    if not check(len(debs) == 1, f"cpack wrote {debs}"):
        return
    package = os.path.join(out, debs[0])
    check(debs[0].startswith("stubpack_") and debs[0].endswith("_amd64.deb"),
          f"package file name {debs[0]}")
    contents = must(["dpkg-deb", "-c", package]).stdout
    for path in ["./usr/bin/stubpack", "./usr/share/stubpack/stub.exe",
                 "./usr/share/stubpack/demo-setup.exe", "./usr/share/man/man1/stubpack.1",
                 "./usr/share/doc/stubpack/docs/packing.md",
                 "./usr/lib/cmake/Stubpack/StubpackConfig.cmake"]:
        check(re.search(rf" {re.escape(path)}$", contents, re.M), f"the .deb lacks {path}")
    check(not re.search(r" \./(?!usr/)\S", contents), "the .deb holds files outside /usr")
    fields = must(["dpkg-deb", "-f", package]).stdout
    for field, pattern in [("Package", r"stubpack"), ("Architecture", r"amd64"),
                           ("Version", r"\d+\.\d+\.\d+"), ("Maintainer", r".+<.+@.+>"),
                           ("Recommends", r".*\bosslsigncode\b.*"),
                           ("Depends", r".*\bzlib1g\b.*"), ("Description", r".+")]:
        check(re.search(rf"^{field}: {pattern}$", fields, re.M), f"field {field}: {fields}")
    # The cabinet is stubpack's own code on zlib: no cabinet library is a dependency.
    check(not re.search(r"^Depends: .*\blibgcab", fields, re.M), f"libgcab in Depends: {fields}")
    check("Description" in must(["dpkg-deb", "-I", package]).stdout, "dpkg-deb -I shows no fields")

    root = os.path.join(scratch, "root")
    must(["dpkg", "-x", package, root])
    stubpack = os.path.join(root, "usr/bin/stubpack")
    archive = make_archive(os.path.join(scratch, "input"))
    pack_and_inspect(stubpack, archive, os.path.join(root, "usr/share/stubpack/demo-setup.exe"),
                     os.path.join(scratch, "installer.exe"), environment_without_stub())


def zip_for_windows(build, windows_bin, scratch):
    """The zip that Windows users unpack: what it holds, and that its stubpack.exe packs without
    --stub what the Linux build packs, byte for byte."""
    windows_build = os.path.dirname(os.path.normpath(windows_bin))
    out = os.path.join(scratch, "cpack")
    must(["cpack", "-G", "ZIP", "--config", os.path.join(windows_build, "CPackConfig.cmake"),
          "-B", out])
    zips = [name for name in os.listdir(out) if name.endswith(".zip")]
    if not check(len(zips) == 1 and re.fullmatch(r"stubpack-\d+\.\d+\.\d+-win64\.zip", zips[0]),
                 f"cpack wrote {zips}"):
        return
    with zipfile.ZipFile(os.path.join(out, zips[0])) as z:
        names = sorted(n for n in z.namelist() if not n.endswith("/"))
        top = zips[0][:-len(".zip")] + "/"
        for path in ["stubpack.exe", "stub.exe", "README.md", "docs/packing.md",
                     "docs/signing.md"]:
            check(top + path in names, f"the zip lacks {path}: {names}")
        check(all(n.startswith(top) for n in names), f"the zip has files outside {top}: {names}")
        z.extractall(os.path.join(scratch, "unzipped"))
    unzipped = os.path.join(scratch, "unzipped", top)
    with open(os.path.join(unzipped, "stub.exe"), "rb") as a, \
            open(os.path.join(windows_bin, "stub.exe"), "rb") as b:
        check(a.read() == b.read(), "the zip's stub.exe is not the build's")

    # One file: it imports from Windows' own DLLs only (no zlib1.dll, no C++ runtime DLL), and
    # from no user32, which would cost every run its load.
    dump = must(["x86_64-w64-mingw32-objdump", "-p", os.path.join(unzipped, "stubpack.exe")])
    imported = sorted(set(re.findall(r"DLL Name: (\S+)", dump.stdout)))
    check(imported and all(d.lower() in {"kernel32.dll", "advapi32.dll", "bcrypt.dll", "msvcrt.dll"}
                           for d in imported), f"stubpack.exe imports {imported}")

    archive = make_archive(os.path.join(scratch, "input"))
    setup = os.path.join(windows_bin, "demo-setup.exe")
    env = prepare_wine(os.path.join(build, "wine-prefix"))
    env = dict(env, SOURCE_DATE_EPOCH="1780000000")
    env.pop("STUBPACK_STUB", None)
    outputs = {}
    for name, command in [("windows", ["wine", os.path.join(unzipped, "stubpack.exe")]),
                          ("linux", [os.path.join(build, "bin", "stubpack"), "--stub",
                                     os.path.join(windows_bin, "stub.exe")])]:
        output = os.path.join(scratch, name, "installer.exe")
        os.makedirs(os.path.dirname(output))
        packed = run(command + ["--archive", archive, "--setup", setup, "--output", output],
                     env=env)
        if check(packed.returncode == 0, f"{name} packing exits {packed.returncode}: "
                 f"{packed.stdout}"):
            with open(output, "rb") as f:
                outputs[name] = f.read()
    if len(outputs) == 2:
        check(outputs["windows"] == outputs["linux"],
              "the zip's stubpack.exe and the Linux build wrote different installers")


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    mode, build, windows_bin = sys.argv[1:4]
    with tempfile.TemporaryDirectory(prefix="stubpack-install-") as scratch:
        if mode == "relocated":
            relocated(build, windows_bin, scratch)
        elif mode == "sample":
            sample(build, windows_bin, sys.argv[4], scratch)
        elif mode == "deb":
            deb(build, windows_bin, scratch)
        elif mode == "zip":
            zip_for_windows(build, windows_bin, scratch)
        else:
            sys.exit(__doc__)
    if FAILURES:
        sys.exit(f"{len(FAILURES)} checks failed")
    print("all checks held")


if __name__ == "__main__":
    main()
