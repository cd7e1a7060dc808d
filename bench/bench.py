#!/usr/bin/env python3
"""The whole benchmark: sizes, the installer's run under Wine against three others, independence
from the archive's size, cabinet expansion, packer throughput. Writes bench/report.md and its
plots. Run through bench/run.sh, which builds what this needs.

Every ratio is measured side by side: the commands of one comparison alternate within each
round (the order rotates from round to round), after warm-up rounds, and the medians are
compared, so that the drift of a shared machine hits all of them alike.

usage: bench.py --bin DIR --stubpack FILE --work DIR --report DIR
                [--baseline-bin DIR --baseline-stubpack FILE --baseline-name TEXT] [--quick]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

MIB = 1 << 20
SETUP_BYTES = 7 * 1000 * 1000
RUN_ARCHIVE_BYTES = 200 * 1000 * 1000
SETUP_EXIT_CODE = 7  # bench/exit_at_once.cpp
NSIS_STUBS = "/usr/share/nsis/Stubs"
SOURCE_DATE_EPOCH = "1780000000"


def log(text):
    print(text, file=sys.stderr, flush=True)


def windows_path(path):
    return "Z:" + os.path.realpath(path).replace("/", "\\")


def make_archive(path, size):
    """A 7z signature, then incompressible bytes: the packer and the stub carry it as it is."""
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    with open(path, "wb") as out:
        out.write(b"7z\xbc\xaf\x27\x1c")
        left = size - 6
        while left > 0:
            chunk = os.urandom(min(left, 8 * MIB))
            out.write(chunk)
            left -= len(chunk)


def make_setup(path, program):
    """A 7 MB setup.exe that compresses to about half: a program that ends at once, then
    blocks of random bytes and zeros in equal parts (carried as the image's overlay)."""
    head = open(program, "rb").read()
    with open(path, "wb") as out:
        out.write(head)
        left = SETUP_BYTES - len(head)
        while left > 0:
            block = os.urandom(2048) + bytes(2048)
            out.write(block[:left])
            left -= len(block)


RSS_FILE = "/tmp/bench-peak-rss.txt"
CPU_SECONDS = []  # user + system time of each command run with rss=True, in order


def run_measured(argv, stdout=subprocess.DEVNULL, rss=False):
    """Wall time in seconds, peak RSS in KiB (0 unless asked for) and the exit status of one
    command. The peak RSS comes from /usr/bin/time: a child forked from this Python process
    would inherit its high-water mark across exec, so wait4's figure would be Python's."""
    if rss:
        argv = ["/usr/bin/time", "-f", "%M %U %S", "-o", RSS_FILE] + argv
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.DEVNULL)
    out = process.stdout.read().decode(errors="replace") if process.stdout else ""
    status = process.wait()
    elapsed = time.perf_counter() - start
    if rss:
        fields = open(RSS_FILE).read().split()[-3:]
        CPU_SECONDS.append(float(fields[1]) + float(fields[2]))
        peak = int(fields[0])
    else:
        peak = 0
    return elapsed, peak, status, out


def interleaved(commands, rounds, warmup, check, rss=False, outputs=None):
    """Runs each named command once per round, the order rotating, after warm-up rounds.
    Returns {name: [(seconds, rss_kib), ...]}. check(name, status, stdout) must hold. A command
    named in outputs has that file removed, and the removal written out, before each run, so
    that freeing the previous run's output is timed for none of them."""
    names = list(commands)
    results = {name: [] for name in names}
    cpu = {name: [] for name in names}
    for r in range(-warmup, rounds):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            argv, stdout = commands[name]
            if outputs and name in outputs:
                if os.path.exists(outputs[name]):
                    os.remove(outputs[name])
                os.sync()
            seconds, peak, status, out = run_measured(argv, stdout=stdout, rss=rss)
            if not check(name, status, out):
                raise SystemExit(f"{name}: unexpected result (status {status}, output {out!r})")
            if r >= 0:
                results[name].append((seconds, peak))
                if rss:
                    cpu[name].append(CPU_SECONDS[-1])
    return (results, cpu) if rss else results


def median(values):
    return statistics.median(values)


def ms(seconds):
    return f"{seconds * 1000:.1f}"


def verdict(ok):
    return "met" if ok else "**missed**"


def pack(stubpack, stub, archive, setup, output):
    env = dict(os.environ, SOURCE_DATE_EPOCH=SOURCE_DATE_EPOCH)
    subprocess.run([stubpack, "--stub", stub, "--archive", archive, "--setup", setup, "--output", output],
                   check=True, env=env, stdout=subprocess.DEVNULL)


def resource_size(stubpack, installer, type_name):
    listing = subprocess.run([stubpack, "inspect", installer], check=True, capture_output=True, text=True).stdout
    for line in listing.splitlines():
        fields = line.split()
        if fields and fields[0] == type_name:
            return int(fields[3])
    raise SystemExit(f"no {type_name} resource in {installer}")


def resource_sizes_other_than(stubpack, installer, skipped):
    listing = subprocess.run([stubpack, "inspect", installer], check=True, capture_output=True, text=True).stdout
    total = 0
    for line in listing.splitlines():
        m = re.match(r"^(\S+)(?: RT_\w+)?\s+\S+\s+1033\s+(\d+)", line)
        if m and m.group(1) not in skipped:
            total += int(m.group(2))
    return total


class Bench:
    def __init__(self, a):
        self.a = a
        self.work = a.work
        self.bin = a.bin
        self.launcher = os.path.join(a.bin, "launcher.exe")
        self.quick = a.quick
        self.sections = {}
        self.section = 0
        self.variants = {"now": (a.bin, a.stubpack)}
        if a.baseline_bin:
            self.variants["before"] = (a.baseline_bin, a.baseline_stubpack)
        os.makedirs(self.work, exist_ok=True)

    def out(self, text=""):
        self.sections.setdefault(self.section, []).append(text)

    # --- inputs --------------------------------------------------------------------------
    def prepare(self):
        log("== inputs")
        self.setup = os.path.join(self.work, "setup.exe")
        make_setup(self.setup, os.path.join(self.bin, "exit-at-once.exe"))
        self.cabinet_dir = os.path.join(self.work, "cab")
        shutil.rmtree(self.cabinet_dir, ignore_errors=True)
        os.makedirs(os.path.join(self.cabinet_dir, "out"))
        shutil.copy(self.setup, os.path.join(self.cabinet_dir, "setup.exe"))
        subprocess.run(["gcab", "-c", "-z", "SETUP.EX_", "setup.exe"], cwd=self.cabinet_dir, check=True)
        self.archives = {}
        for label, size in (("1 MiB", MIB), ("64 MiB", 64 * MIB), ("1 GiB", 1024 * MIB),
                            ("200 MB", RUN_ARCHIVE_BYTES)):
            path = os.path.join(self.work, f"archive-{size}.7z")
            make_archive(path, size)
            self.archives[label] = path
        self.installers = {}
        for variant, (bin_dir, stubpack) in self.variants.items():
            for label, archive in self.archives.items():
                output = os.path.join(self.work, f"installer-{variant}-{label.replace(' ', '')}.exe")
                pack(stubpack, os.path.join(bin_dir, "stub.exe"), archive, self.setup, output)
                self.installers[variant, label] = output
        shutil.copy(os.path.join(self.bin, "trivial-parent.exe"), self.work)
        self.parent = os.path.join(self.work, "trivial-parent.exe")
        shutil.copy(os.path.join(self.bin, "trivial-parent-imports.exe"), self.work)
        self.parent_imports = os.path.join(self.work, "trivial-parent-imports.exe")
        # For the breakdown only: the same installer with setup stored plain (no cabinet).
        self.plain_installer = os.path.join(self.work, "installer-now-plain.exe")
        env = dict(os.environ, SOURCE_DATE_EPOCH=SOURCE_DATE_EPOCH)
        subprocess.run([self.a.stubpack, "--stub", os.path.join(self.bin, "stub.exe"), "--archive",
                        self.archives["200 MB"], "--setup", self.setup, "--setup-storage", "plain", "--output",
                        self.plain_installer], check=True, env=env, stdout=subprocess.DEVNULL)
        # The peer: makensis, amd64-unicode, zlib; extracts the same setup.exe into $PLUGINSDIR,
        # waits for it, deletes it, ends with its exit code. It carries no archive.
        with open(os.path.join(self.work, "peer.nsi"), "w") as script:
            script.write("""Unicode true
Target amd64-unicode
SetCompressor zlib
SilentInstall silent
RequestExecutionLevel user
OutFile peer.exe
Section
  InitPluginsDir
  SetOutPath $PLUGINSDIR
  File setup.exe
  ExecWait '"$PLUGINSDIR\\setup.exe"' $0
  Delete "$PLUGINSDIR\\setup.exe"
  SetErrorLevel $0
SectionEnd
""")
        subprocess.run(["makensis", "-V2", "peer.nsi"], cwd=self.work, check=True, stdout=subprocess.DEVNULL)
        self.peer = os.path.join(self.work, "peer.exe")

    # --- 1. size -------------------------------------------------------------------------
    def sizes(self):
        self.section = 1
        log("== sizes")
        self.out("## 1. Size")
        self.out()
        zlib = os.path.getsize(os.path.join(NSIS_STUBS, "zlib-amd64-unicode"))
        lzma = os.path.getsize(os.path.join(NSIS_STUBS, "lzma-amd64-unicode"))
        self.out("| | bytes | ÷ peer's zlib stub | goal |")
        self.out("|---|---:|---:|---|")
        self.out(f"| peer's stub, zlib (nsis-common, amd64-unicode) | {zlib:,} | 1.000 | anchor |")
        self.out(f"| peer's stub, LZMA (nsis-common, amd64-unicode) | {lzma:,} | {lzma / zlib:.3f} | anchor |")
        for variant, (bin_dir, _) in self.variants.items():
            size = os.path.getsize(os.path.join(bin_dir, "stub.exe"))
            self.figures[f"stub_bytes_{variant}"] = size
            self.out(f"| bare stub.exe ({variant}) | {size:,} | {size / zlib:.3f} | ≤ 16,384: {verdict(size <= 16384)} |")
        self.out()
        self.out("Packer's overhead beyond the payload's own bytes (installer with the 200 MB archive and the "
                 "7 MB setup as an MSZIP cabinet): the installer's size less the archive and the cabinet.")
        self.out()
        self.out("| | installer | archive | setup cabinet | overhead | of which stub.exe | other resources "
                 "(icon, version, manifest) | headers, directory, alignment |")
        self.out("|---|---:|---:|---:|---:|---:|---:|---:|")
        for variant, (bin_dir, stubpack) in self.variants.items():
            installer = self.installers[variant, "200 MB"]
            total = os.path.getsize(installer)
            cab = resource_size(stubpack, installer, "BL")
            overhead = total - RUN_ARCHIVE_BYTES - cab
            stub = os.path.getsize(os.path.join(bin_dir, "stub.exe"))
            other = resource_sizes_other_than(stubpack, installer, {"B7", "BL"})
            self.figures[f"overhead_bytes_{variant}"] = overhead
            self.out(f"| {variant} | {total:,} | {RUN_ARCHIVE_BYTES:,} | {cab:,} | {overhead:,} | {stub:,} | "
                     f"{other:,} | {overhead - stub - other:,} |")
        self.out()
        nsis_total = os.path.getsize(self.peer)
        self.out(f"For scale, the peer installer made from the same setup.exe (zlib, no archive) is "
                 f"{nsis_total:,} bytes.")
        self.out()

    # --- 4. cabinet expansion (before 2: its cabinet.dll time is part of 2's floor) --------
    def expansion(self):
        log("== cabinet expansion")
        runs = 7 if self.quick else 21
        bench = os.path.join(self.bin, "expand-cabinet-bench.exe")
        cab = os.path.join(self.cabinet_dir, "SETUP.EX_")
        outdir = os.path.join(self.cabinet_dir, "out")
        got = subprocess.run(["wine", bench, windows_path(cab), windows_path(outdir), str(runs)],
                             check=True, capture_output=True, stdin=subprocess.DEVNULL).stdout.decode()
        values = dict(line.split() for line in got.replace("\r", "").splitlines() if line.strip())
        stub_ms, lean_ms = float(values["stub_median_ms"]), float(values["lean_median_ms"])
        flush_ms = float(values["leanflush_median_ms"])
        stub_min, lean_min, flush_min = (float(values[k]) for k in ("stub_min_ms", "lean_min_ms", "leanflush_min_ms"))
        if open(os.path.join(outdir, "stub-setup.exe"), "rb").read() != open(self.setup, "rb").read():
            raise SystemExit("the stub's expansion is not byte-identical")
        native = {"cabextract": [], "cp": []}
        for r in range(-2, runs):
            for name in (("cabextract", "cp") if r % 2 else ("cp", "cabextract")):
                if name == "cabextract":
                    target = os.path.join(outdir, "setup.exe")
                    if os.path.exists(target):
                        os.remove(target)
                    argv = ["cabextract", "-q", "-d", outdir, cab]
                else:
                    argv = ["cp", self.setup, os.path.join(outdir, "copy.exe")]
                seconds, _, status, _ = run_measured(argv)
                if status != 0:
                    raise SystemExit(f"{name} failed")
                if r >= 0:
                    native[name].append(seconds)
        cabx, cabx_min = median(native["cabextract"]) * 1000, min(native["cabextract"]) * 1000
        cp, cp_min = median(native["cp"]) * 1000, min(native["cp"]) * 1000
        self.figures.update(load_ms=float(values["load_ms"]), lean_ms=lean_ms, lean_min=lean_min, flush_ms=flush_ms - lean_ms,
                            flush_min=flush_min - lean_min)
        self.sections[4] = [
            "## 4. Cabinet expansion",
            "",
            f"The 7 MB setup ({SETUP_BYTES:,} bytes) from its MSZIP cabinet ({os.path.getsize(cab):,} bytes), "
            f"{runs} runs after a warm-up. The Wine-side figures are timed inside one Windows process "
            "(bench/expand_cabinet_bench.cpp, the three kinds alternating; cabinet.dll is loaded once beforehand); "
            "the native ones alternate too.",
            "",
            "| | median ms | stub ÷ this (medians) | min ms | stub ÷ this (minimums) |",
            "|---|---:|---:|---:|---:|",
            f"| the stub's expansion under Wine (ExpandCabinet: its callbacks, flush before close) | {stub_ms:.1f} | "
            f"1.00 | {stub_min:.1f} | 1.00 |",
            f"| cabinet.dll with the leanest callbacks under Wine (C runtime files, no flush) | {lean_ms:.1f} | "
            f"{stub_ms / lean_ms:.2f} | {lean_min:.1f} | {stub_min / lean_min:.2f} |",
            f"| the same lean callbacks with a flush before the close | {flush_ms:.1f} | {stub_ms / flush_ms:.2f} | "
            f"{flush_min:.1f} | {stub_min / flush_min:.2f} |",
            f"| native cabextract of the same cabinet | {cabx:.1f} | {stub_ms / cabx:.2f} | {cabx_min:.1f} | "
            f"{stub_min / cabx_min:.2f} |",
            f"| native cp of the expanded setup.exe (the limit) | {cp:.1f} | {stub_ms / cp:.2f} | {cp_min:.1f} | "
            f"{stub_min / cp_min:.2f} |",
            "",
            "No goal is set for these ratios; cabinet.dll's time (the lean row) is part of the floor in section 2.",
            "",
        ]

    # --- 2. the installer's run under Wine -----------------------------------------------
    def run_overhead(self):
        self.section = 2
        log("== installer run under Wine")
        rounds = 9 if self.quick else 61
        lines = {}

        def command_line(name, text):
            path = os.path.join(self.work, f"cl-{name}.txt")
            with open(path, "w") as f:
                f.write(text)
            return path

        def through_launcher(name, program, text):
            return ["wine", self.launcher, windows_path(program), windows_path(command_line(name, text))]

        setup_w = windows_path(self.setup)
        commands = {
            "direct": (through_launcher("direct", self.setup, f'"{setup_w}"'), subprocess.PIPE),
            "trivial parent": (through_launcher("parent", self.parent, f'"{windows_path(self.parent)}" "{setup_w}"'),
                               subprocess.PIPE),
            "peer (makensis)": (through_launcher("peer", self.peer, f'"{windows_path(self.peer)}"'), subprocess.PIPE),
            "trivial parent with the stub's imports": (
                through_launcher("parent-imports", self.parent_imports,
                                 f'"{windows_path(self.parent_imports)}" "{setup_w}"'), subprocess.PIPE),
            "stub (now), setup stored plain": (
                through_launcher("stub-plain", self.plain_installer, f'"{windows_path(self.plain_installer)}"'),
                subprocess.PIPE),
        }
        for variant in self.variants:
            installer = self.installers[variant, "200 MB"]
            commands[f"stub ({variant})"] = (through_launcher(f"stub-{variant}", installer,
                                                              f'"{windows_path(installer)}"'), subprocess.PIPE)
        results = interleaved(commands, rounds, 3,
                              lambda name, status, out: status == 0 and f"exit={SETUP_EXIT_CODE}" in out)
        med = {name: median([s for s, _ in runs]) for name, runs in results.items()}
        low = {name: min(s for s, _ in runs) for name, runs in results.items()}

        def over(name, base="direct"):
            """Median over the rounds of this command's time less the base's in the same round: a
            round that the machine slowed down slows both."""
            return median([a - b for (a, _), (b, _) in zip(results[name], results[base])])

        direct = med["direct"]
        parent_over = over("trivial parent")
        peer_over = over("peer (makensis)")
        floor = parent_over + self.figures["lean_ms"] / 1000
        self.out("## 2. The installer's run under Wine")
        self.out()
        self.out(f"All through the same launcher (tests/wine/launcher.cpp: `wine launcher.exe PROGRAM COMMAND_LINE_FILE`), "
                 f"wall time of the whole `wine` command, {rounds} rounds after 3 warm-up rounds, the order rotating; "
                 f"setup.exe ({SETUP_BYTES:,} bytes) ends at once with exit code {SETUP_EXIT_CODE}, which every run "
                 f"must report. Our installer carries the 200 MB archive; the peer carries none.")
        self.out()
        self.out("| run | median ms | min ms | max ms | overhead beyond direct, ms: median of the per-round "
                 "differences | the same from the minimums |")
        self.out("|---|---:|---:|---:|---:|---:|")
        for name, runs in results.items():
            times = [s for s, _ in runs]
            o = "—" if name == "direct" else ms(over(name))
            o_low = "—" if name == "direct" else ms(low[name] - low["direct"])
            self.out(f"| {name} | {ms(med[name])} | {ms(min(times))} | {ms(max(times))} | {o} | {o_low} |")
        self.out()
        self.out("The two rows after the peer are for the breakdown only: the trivial parent built with the stub's "
                 "imports (advapi32, shell32; it splits its command line and opens a registry key once), and our "
                 "installer with setup stored plain (no cabinet, so no expansion and no flush).")
        self.out()
        floor_low = (low["trivial parent"] - low["direct"]) + self.figures["lean_min"] / 1000
        self.out(f"Floor: the trivial parent's overhead plus cabinet.dll's own time to expand the same cabinet "
                 f"(the lean row of section 4): from the medians {ms(parent_over)} + {self.figures['lean_ms']:.1f} = "
                 f"{ms(floor)} ms; from minimums {ms(low['trivial parent'] - low['direct'])} + "
                 f"{self.figures['lean_min']:.1f} = {ms(floor_low)} ms.")
        self.out()
        self.out("| goal | variant | from the medians | from the minimums |")
        self.out("|---|---|---|---|")
        peer_low = low["peer (makensis)"] - low["direct"]
        for variant in self.variants:
            o = over(f"stub ({variant})")
            o_low = low[f"stub ({variant})"] - low["direct"]
            self.figures[f"run_overhead_ms_{variant}"] = o * 1000
            self.out(f"| our overhead ≤ 0.8 × the peer's | {variant} | {ms(o)} ÷ {ms(peer_over)} = "
                     f"{o / peer_over:.2f}: {verdict(o <= 0.8 * peer_over)} | {ms(o_low)} ÷ {ms(peer_low)} = "
                     f"{o_low / peer_low:.2f}: {verdict(o_low <= 0.8 * peer_low)} |")
            self.out(f"| our overhead within 20 ms of the floor | {variant} | {ms(o)} − {ms(floor)} = "
                     f"{ms(o - floor)} ms: {verdict(o - floor <= 0.020)} | {ms(o_low)} − {ms(floor_low)} = "
                     f"{ms(o_low - floor_low)} ms: {verdict(o_low - floor_low <= 0.020)} |")
        self.out()
        self.out("Where our overhead goes (differences between the rows above; section 4 for the flush):")
        self.out()
        self.out("| step | median of the per-round differences, ms | from the minimums, ms |")
        self.out("|---|---:|---:|")

        def step(label, a, b):
            self.out(f"| {label} | {ms(over(a, b))} | {ms(low[a] - low[b])} |")

        step("one extra process start (trivial parent − direct)", "trivial parent", "direct")
        step("loading advapi32 and shell32 at start (parent with the stub's imports − trivial parent)",
             "trivial parent with the stub's imports", "trivial parent")
        step("the stub's own work with setup stored plain: registry, work directory, 7 MB written, removal "
             "(stub plain − parent with the imports)", "stub (now), setup stored plain",
             "trivial parent with the stub's imports")
        step("the cabinet instead: 3.5 MB cabinet written, cabinet.dll and zlib1.dll loaded, expansion, flush, "
             "cabinet removed (stub − stub plain)", "stub (now)", "stub (now), setup stored plain")
        self.out(f"| of which the flush before close (section 4: lean with flush − lean) | {self.figures['flush_ms']:.1f} | "
                 f"{self.figures['flush_min']:.1f} |")
        self.out(f"| of which loading cabinet.dll, the first time in a process (section 4, one sample) | "
                 f"{self.figures['load_ms']:.1f} | |")
        self.out()
        fig, ax = plt.subplots(figsize=(7, 3.2))
        names = list(results)
        ax.boxplot([[s * 1000 for s, _ in results[n]] for n in names], vert=False, labels=names)
        ax.set_xlabel("wall time under Wine, ms (through the launcher)")
        ax.set_title("Installer run: 7 MB setup that ends at once")
        fig.tight_layout()
        fig.savefig(os.path.join(self.a.report, "run_overhead.png"), dpi=90)
        plt.close(fig)
        self.out("![run times](run_overhead.png)")
        self.out()

    # --- 3. independence from the archive's size -----------------------------------------
    def independence(self):
        self.section = 3
        log("== independence from the archive's size")
        rounds = 5 if self.quick else 21
        labels = ["1 MiB", "64 MiB", "1 GiB"]
        commands = {}
        for variant in self.variants:
            for label in labels:
                commands[variant, label] = (["wine", self.installers[variant, label]], subprocess.DEVNULL)
        # Started from the shell, the installer's own process is the one `wine` runs; setup's process
        # is not its Unix child, so the peak RSS is the stub's.
        results, cpu = interleaved(commands, rounds, 2, lambda name, status, out: status == SETUP_EXIT_CODE,
                                   rss=True)
        self.out("## 3. Independence from the archive's size")
        self.out()
        self.out(f"`wine installer.exe` started directly ({rounds} rounds after 2 warm-up rounds, the order rotating); "
                 "wall time and the peak RSS of the installer's process (/usr/bin/time), medians. Same 7 MB setup cabinet.")
        self.out()
        self.out("| variant | archive | median ms | min ms | CPU ms (user + system, median) | peak RSS KiB (median) |")
        self.out("|---|---|---:|---:|---:|---:|")
        fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(8, 3.2))
        sizes = [MIB, 64 * MIB, 1024 * MIB]
        for variant in self.variants:
            t = [median([s for s, _ in results[variant, label]]) for label in labels]
            r = [median([m for _, m in results[variant, label]]) for label in labels]
            c = [median(cpu[variant, label]) for label in labels]
            self.figures[f"indep_cpu_{variant}"] = c[2] / c[0] if c[0] else float("nan")
            for label, tt, rr, cc in zip(labels, t, r, c):
                tl = min(s for s, _ in results[variant, label])
                self.out(f"| {variant} | {label} | {ms(tt)} | {ms(tl)} | {cc * 1000:.0f} | {rr:,.0f} |")
            self.figures[f"indep_time_{variant}"] = t[2] / t[0]
            tmin = [min(s for s, _ in results[variant, label]) for label in labels]
            self.figures[f"indep_time_min_{variant}"] = tmin[2] / tmin[0]
            self.figures[f"indep_rss_{variant}"] = r[2] / r[0]
            ax1.plot(sizes, [x * 1000 for x in t], marker="o", label=variant)
            ax2.plot(sizes, [x / 1024 for x in r], marker="o", label=variant)
        self.out()
        for variant in self.variants:
            ti, ri = self.figures[f"indep_time_{variant}"], self.figures[f"indep_rss_{variant}"]
            tm = self.figures[f"indep_time_min_{variant}"]
            self.out(f"- {variant}: time 1 GiB ÷ 1 MiB = {ti:.3f} from medians (goal ≤ 1.05: {verdict(ti <= 1.05)}), "
                     f"{tm:.3f} from minimums ({verdict(tm <= 1.05)}), CPU time "
                     f"{self.figures[f'indep_cpu_{variant}']:.3f}; peak RSS 1 GiB ÷ 1 MiB = {ri:.3f} "
                     f"(goal ≤ 1.05: {verdict(ri <= 1.05)})")
        self.out()
        for ax, what in ((ax1, "wall time, ms"), (ax2, "peak RSS, MiB")):
            ax.set_xscale("log", base=2)
            ax.set_xlabel("archive size, bytes")
            ax.set_ylabel(what)
            ax.set_ylim(bottom=0)
            ax.legend()
        fig.suptitle("Installer under Wine against the archive's size")
        fig.tight_layout()
        fig.savefig(os.path.join(self.a.report, "independence.png"), dpi=90)
        plt.close(fig)
        self.out("![independence](independence.png)")
        self.out()

    # --- 5. packer -------------------------------------------------------------------------
    def packer(self):
        self.section = 5
        log("== packer")
        rounds = 3 if self.quick else 11
        archive = self.archives["1 GiB"]
        copy = os.path.join(self.work, "copy.7z")
        commands = {"cp": (["cp", archive, copy], subprocess.DEVNULL)}
        outputs = {"cp": copy}
        for variant, (bin_dir, stubpack) in self.variants.items():
            out = os.path.join(self.work, f"packed-{variant}.exe")
            commands[f"stubpack ({variant})"] = (["env", f"SOURCE_DATE_EPOCH={SOURCE_DATE_EPOCH}", stubpack, "--stub",
                                                  os.path.join(bin_dir, "stub.exe"), "--archive", archive, "--setup",
                                                  self.setup, "--output", out], subprocess.DEVNULL)
            outputs[f"stubpack ({variant})"] = out
        results, cpu = interleaved(commands, rounds, 1, lambda name, status, out: status == 0, rss=True,
                                   outputs=outputs)
        for v in self.variants:
            os.remove(os.path.join(self.work, f"packed-{v}.exe"))
        os.remove(copy)
        cp = median([s for s, _ in results["cp"]])
        cp_min = min(s for s, _ in results["cp"])
        self.out("## 5. Packer")
        self.out()
        self.out(f"1 GiB archive (page cache warm), the 7 MB setup packed as an MSZIP cabinet; `cp` of the archive "
                 f"on the same disk; {rounds} rounds after a warm-up, alternating; each output removed and `sync` "
                 f"run before each command (replacing a 1 GiB file frees its blocks, which this disk, mounted with "
                 f"`discard`, makes slow and erratic); peak RSS and CPU time from /usr/bin/time.")
        self.out()
        self.out("| command | median s | min s | max s | CPU s (user + system, median) | peak RSS KiB (max) |")
        self.out("|---|---:|---:|---:|---:|---:|")
        for name, runs in results.items():
            t = [s for s, _ in runs]
            self.out(f"| {name} | {median(t):.3f} | {min(t):.3f} | {max(t):.3f} | {median(cpu[name]):.3f} | "
                     f"{max(m for _, m in runs):,} |")
        self.out()
        for variant in self.variants:
            runs = results[f"stubpack ({variant})"]
            ratio = median([a / b for (a, _), (b, _) in zip(runs, results["cp"])])
            ratio_min = min(s for s, _ in runs) / cp_min
            rss = max(m for _, m in runs)
            self.figures[f"pack_ratio_{variant}"] = ratio
            self.out(f"- {variant}: time ÷ cp = {ratio:.2f}, median of the per-round ratios (goal ≤ 2.0: {verdict(ratio <= 2.0)}), "
                     f"{ratio_min:.2f} from minimums ({verdict(ratio_min <= 2.0)}), CPU time "
                     f"{median(cpu[f'stubpack ({variant})']) / median(cpu['cp']):.2f}; peak RSS "
                     f"{rss / 1024:.1f} MiB (goal ≤ 64 MiB: {verdict(rss <= 64 * 1024)})")
        self.out()

    def write(self, seconds):
        head = [
            "# Benchmark report",
            "",
            f"Written by `bash bench/run.sh` (at nice {os.nice(0)}) on "
            f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} in "
            f"{seconds / 60:.1f} minutes; {os.cpu_count()} cores, shared with other work (load average at the "
            f"start {self.load[0]:.2f}, at the end {os.getloadavg()[0]:.2f}). Wine: "
            f"{subprocess.run(['wine', '--version'], capture_output=True, text=True).stdout.strip()}.",
            "",
        ]
        if "before" in self.variants:
            head += [f"Two builds side by side in every comparison: **now** (this tree) and **before** "
                     f"({self.a.baseline_name}).", ""]
        with open(os.path.join(self.a.report, "report.md"), "w") as f:
            body = [line for n in sorted(self.sections) for line in self.sections[n]]
            f.write("\n".join(head + body + self.notes) + "\n")

    def main(self):
        started = time.time()
        self.load = os.getloadavg()
        self.figures = {}
        self.notes = []
        self.prepare()
        self.sizes()
        self.expansion()
        self.run_overhead()
        self.independence()
        self.packer()
        notes = os.path.join(os.path.dirname(os.path.abspath(__file__)), "report_notes.md")
        if os.path.exists(notes):
            self.notes = ["", open(notes).read().rstrip()]
        self.write(time.time() - started)
        log(f"== wrote {os.path.join(self.a.report, 'report.md')} in {(time.time() - started) / 60:.1f} min")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--bin", required=True)
    p.add_argument("--stubpack", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--report", required=True)
    p.add_argument("--baseline-bin")
    p.add_argument("--baseline-stubpack")
    p.add_argument("--baseline-name", default="baseline")
    p.add_argument("--quick", action="store_true")
    Bench(p.parse_args()).main()


if __name__ == "__main__":
    main()
