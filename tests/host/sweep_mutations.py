#!/usr/bin/env python3
"""Shows that the sweeps' oracles catch misreported steps: puts one fault at a time into a copy of
the stub's sources, rebuilds the sweeps against it and runs both. Every fault must give violations
in the fault sweep; the unchanged stub none. Prints one line per fault with both sweeps' counts.

    sweep_mutations.py SOURCE_DIR SCRATCH_DIR
"""
import os
import re
import shutil
import subprocess
import sys

# (what the fault is, file, text that is there, what it becomes)
MUTATIONS = [
    ("the cabinet left in the work directory after expansion", "payload/extract_payload.cpp",
     "  RemovePathWithRetries(setup_path.Text());\n", ""),
    ("setup.exe kept after a failed launch", "stub/run_stub.cpp",
     "    result = LaunchSetup(config.command_line, stub_path, archive_name, archive_type, setup_path);\n",
     "    result = LaunchSetup(config.command_line, stub_path, archive_name, archive_type, setup_path);\n"
     "    if (result >= 122 && result <= 124) setup_path.Clear();\n"),
    ("a failed write of setup reported as 115 instead of 116", "payload/extract_payload.cpp",
     "return StubExitCode::RESOURCE_WRITE_FAILED;", "return StubExitCode::SETUP_EXTRACTION_FAILED;"),
    ("ten failed directory creations reported as 117 instead of 109", "workdir/work_directory.cpp",
     "return StubExitCode::NO_WORK_DIRECTORY;", "return StubExitCode::WORK_DIRECTORY_SECURITY_FAILED;"),
    ("the keep-files value ignored (files removed anyway)", "stub/stub_config.cpp",
     "remove_after_run = !(ok && value[0] == u'0');", "remove_after_run = ok || !ok;"),
]

SUMMARY = re.compile(r"^(fault|crash) sweep: .*?(\d+) violations$", re.M)


def run(command, cwd):
    return subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True)


def sweep_counts(build):
    out = run([os.path.join(build, "bin", "sweep-tests")], build).stdout
    counts = {kind: int(n) for kind, n in SUMMARY.findall(out)}
    if set(counts) != {"fault", "crash"}:
        sys.exit("no summary lines from the sweeps:\n" + out[-3000:])
    return counts


def main():
    source, scratch = sys.argv[1], sys.argv[2]
    copy = os.path.join(scratch, "source")
    build = os.path.join(scratch, "build")
    shutil.rmtree(scratch, ignore_errors=True)
    shutil.copytree(source, copy, ignore=shutil.ignore_patterns("build", ".git"))
    configured = run(["cmake", "-S", copy, "-B", build, "-G", "Ninja",
                      "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], scratch)
    if configured.returncode != 0:
        sys.exit(configured.stdout)

    def build_sweeps():
        built = run(["cmake", "--build", build, "--target", "sweep-tests"], scratch)
        if built.returncode != 0:
            sys.exit(built.stdout[-3000:])

    build_sweeps()
    baseline = sweep_counts(build)
    print(f"unchanged stub: fault sweep {baseline['fault']} violations, "
          f"crash sweep {baseline['crash']}")
    failed = baseline["fault"] != 0 or baseline["crash"] != 0
    for what, name, old, new in MUTATIONS:
        path = os.path.join(copy, name)
        original = open(path).read()
        if original.count(old) != 1:
            sys.exit(f"{name} no longer holds the text this fault replaces: {old!r}")
        with open(path, "w") as f:
            f.write(original.replace(old, new))
        build_sweeps()
        counts = sweep_counts(build)
        with open(path, "w") as f:
            f.write(original)
        caught = counts["fault"] > 0
        failed |= not caught
        print(f"{'caught' if caught else 'MISSED'}: {what}: fault sweep {counts['fault']} "
              f"violations, crash sweep {counts['crash']}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
