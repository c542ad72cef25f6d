#!/usr/bin/env python3
"""Transformation benchmark: Brendle4 against xsltproc and Saxon-HE.

For every stylesheet and catalogue size, each program transforms the same
Input/books.xml with the same Input/trans.xsl and maxprice=35:

  Brendle4   run without arguments in the case's working directory (Input/,
             Output/), standard input at end of file, console sent to a file;
  xsltproc   xsltproc --stringparam maxprice 35 -o OUT Input/trans.xsl Input/books.xml
  Saxon-HE   java -cp JAR net.sf.saxon.Transform -s:... -xsl:... -o:OUT maxprice=35
             (when a Saxon-HE jar and java are installed).

The programs take turns (the order rotates every round); the first round is a
warm-up and is not counted. The report gives the median wall time and peak
resident memory of each program and Brendle4's ratios to the others, as a
Markdown table on standard output and in a file, with the machine and the date.

Peak memory is the maximum resident set size that GNU time reports (%M), taken
on the warm-up runs; the counted runs are started directly and timed by this
script with a monotonic clock, since going through GNU time adds more than a
millisecond, as much as xsltproc needs for a small catalogue. (Its own %e has
only centisecond resolution.)

The outputs are checked after the first round: Brendle4's file must equal
xsltproc's apart from line ends (Brendle4 writes CR LF, and a trailing line end
more or less is accepted); against Saxon, whose serializer indents and quotes
differently, the element names and the words of the text must agree.

Catalogues are generated once by bench/gen_catalog.py (or --generator) and kept
under build/bench-data/. Unless --brendle names a program, Brendle4 and the
memory-stream micro-benchmark are built first in the Release build directory.
xsltproc's run of a stylesheet with xsl:key at 100 MB or more is skipped unless
--slow-xsltproc is given: its key() makes that run take many minutes.
"""

import argparse
import datetime
import hashlib
import html
import itertools
import json
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
DEFAULT_SIZES = "1K,1M,10M,100M"
DEFAULT_STYLESHEETS = [BENCH / "select.xsl", BENCH / "group.xsl"]
SMALL = 10 * 1024 ** 2
LARGE = 100 * 1024 ** 2
PROGRAMS = ["Brendle4", "xsltproc", "Saxon-HE"]
TIME = "/usr/bin/time"
STREAM_REPETITIONS = 7


def log(message):
    print(message, file=sys.stderr, flush=True)


def parse_size(text):
    units = {"K": 1024, "M": 1024 ** 2, "G": 1024 ** 3}
    upper = text.strip().upper()
    factor = units.get(upper[-1:], 1)
    digits = upper[:-1] if upper[-1:] in units else upper
    if not digits.isdigit() or int(digits) <= 0:
        raise argparse.ArgumentTypeError(f"bad size {text!r} (use e.g. 1K, 10M, 100M)")
    return int(digits) * factor


def size_label(text):
    upper = text.strip().upper()
    return f"{upper[:-1]} {upper[-1]}B" if upper[-1:] in "KMG" else f"{upper} B"


# ---------------------------------------------------------------------------------------
# Running one program and measuring it

@dataclass
class Outcome:
    """What one program did on one case."""
    seconds: list = field(default_factory=list)   # wall time of each measured run
    rss_kib: list = field(default_factory=list)   # peak memory of each run under GNU time
    failure: str = ""      # why its runs stopped, if they did
    skipped: str = ""      # why it was not run at all
    single: bool = False   # its warm-up was long enough to stand as the only sample


def run_measured(command, cwd, stdout_path, stderr_path, timeout, memory):
    """Runs `command` once; returns (exit code or None on timeout, wall seconds, peak KiB or None).

    Peak memory needs GNU time: a child forked from this Python process would inherit
    its resident high-water mark. Starting GNU time costs more than a millisecond,
    though, which would flatten the ratios where start-up dominates; so only the runs
    that measure memory go through it, and wall time is taken here either way."""
    usage_path = Path(str(stderr_path) + ".time")
    if memory:
        usage_path.unlink(missing_ok=True)
        command = [TIME, "-f", "%e %M", "-o", str(usage_path), *command]
    with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
        start = time.perf_counter()
        process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                   start_new_session=True)
        # A blocking wait, with the timeout kept by a timer: Popen.wait(timeout) polls
        # with growing sleeps, which would round short runs up by milliseconds.
        expired = threading.Event()

        def expire():
            expired.set()
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        timer = threading.Timer(timeout, expire)
        if timeout:
            timer.start()
        code = process.wait()
        elapsed = time.perf_counter() - start
        timer.cancel()
        if expired.is_set():
            code = None
    if not memory:
        return code, elapsed, None
    numbers = re.findall(r"^([0-9.]+) ([0-9]+)$", usage_path.read_text(errors="replace"), re.M) \
        if usage_path.exists() else []
    return code, elapsed, int(numbers[-1][1]) if numbers else None


def tail(path, lines=5):
    try:
        text = Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError:
        return ""
    return " | ".join(text.strip().splitlines()[-lines:])


# ---------------------------------------------------------------------------------------
# Comparing outputs

def without_crlf(path, chunk=1 << 22):
    """The file's bytes with every CR LF turned into LF."""
    with open(path, "rb") as stream:
        held_cr = False
        while True:
            block = stream.read(chunk)
            if not block:
                break
            if held_cr:
                block = b"\r" + block
            held_cr = block.endswith(b"\r")
            if held_cr:
                block = block[:-1]
            if block:
                yield block.replace(b"\r\n", b"\n")
        if held_cr:
            yield b"\r"


def chunks(path, chunk=1 << 22):
    with open(path, "rb") as stream:
        yield from iter(lambda: stream.read(chunk), b"")


def first_byte_difference(crlf_path, lf_path, chunk=1 << 22):
    """Compares a file written with CR LF line ends against one written with LF.

    None when they agree once every CR LF of the first is taken back to LF and
    trailing line ends are ignored; else the offset (in the LF form) of the first
    difference."""
    source_a, source_b = without_crlf(crlf_path, chunk), chunks(lf_path, chunk)
    a = b = b""
    offset = 0
    while True:
        if not a:
            a = next(source_a, b"")
        if not b:
            b = next(source_b, b"")
        if not a or not b:
            break
        n = min(len(a), len(b))
        if a[:n] != b[:n]:
            return offset + next(i for i in range(n) if a[i] != b[i])
        a, b = a[n:], b[n:]
        offset += n
    rest = itertools.chain([a, b], source_a, source_b)
    return None if all(not block.strip(b"\n") for block in rest) else offset


TAG = re.compile(r"<!--.*?-->|<[!?][^>]*>|<(/?)([A-Za-z][A-Za-z0-9]*)[^>]*>", re.S)


def html_tokens(path, chunk=1 << 22):
    """The element names and the words of the text of an HTML file, in order.

    Serialization details drop out: indentation, attributes and their quoting,
    entity spelling, comments, the DOCTYPE and the meta tag that HTML output adds."""
    with open(path, encoding="utf-8", errors="replace", newline="") as stream:
        carry = ""
        while True:
            block = stream.read(chunk)
            text = carry + block
            # A '<' in text is always escaped, so the last one starts a tag that may be cut.
            cut = len(text) if not block else text.rfind("<")
            if cut <= 0 and block:
                carry = text
                continue
            body, carry = text[:cut], text[cut:]
            position = 0
            for match in TAG.finditer(body):
                yield from html.unescape(body[position:match.start()]).split()
                position = match.end()
                if match.group(2) and match.group(2).lower() != "meta":
                    yield "\0<" + match.group(1) + match.group(2).lower()
            yield from html.unescape(body[position:]).split()
            if not block:
                return


def first_token_difference(path_a, path_b, chunk=1 << 22):
    """None when both files have the same element names and words, else a description."""
    pairs = itertools.zip_longest(html_tokens(path_a, chunk), html_tokens(path_b, chunk))
    for index, (x, y) in enumerate(pairs):
        if x != y:
            show = lambda token: "(end)" if token is None else repr(token.replace("\0", ""))
            return f"token {index}: {show(x)} vs {show(y)}"
    return None


# ---------------------------------------------------------------------------------------
# Preparation: tools, build, catalogues

def find_saxon_jar(explicit):
    if explicit:
        return Path(explicit) if Path(explicit).is_file() else None
    candidates = []
    if shutil.which("dpkg"):
        listed = subprocess.run(["dpkg", "-L", "libsaxonhe-java"], capture_output=True, text=True)
        if listed.returncode == 0:
            candidates = [Path(line) for line in listed.stdout.split()
                          if line.startswith("/usr/share/java/") and line.endswith(".jar")]
    candidates.append(Path("/usr/share/java/Saxon-HE.jar"))
    return next((jar for jar in candidates if jar.is_file()), None)


def build(build_dir, targets):
    """Configures a Release build directory if it has none, then builds `targets`.
    Returns the targets that built."""
    cache = build_dir / "CMakeCache.txt"
    if not cache.exists():
        log(f"configuring {build_dir} (Release)")
        configured = subprocess.run(["cmake", "--preset", "release", "-B", str(build_dir)], cwd=ROOT)
        if configured.returncode != 0:
            sys.exit(f"run.py: configuring {build_dir} failed")
    build_type = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache.read_text(), re.M)
    if not build_type or build_type.group(1) != "Release":
        sys.exit(f"run.py: {build_dir} is not a Release build directory; give --build-dir")
    built = []
    for target in targets:
        log(f"building {target} in {build_dir}")
        result = subprocess.run(["cmake", "--build", str(build_dir), "-j2", "--target", target], cwd=ROOT)
        if result.returncode == 0:
            built.append(target)
        else:
            log(f"building {target} failed")
    return built


def find_executable(build_dir, name):
    for directory, subdirectories, files in os.walk(build_dir):
        subdirectories[:] = [d for d in subdirectories if d != "CMakeFiles"]
        if name in files and os.access(os.path.join(directory, name), os.X_OK):
            return Path(directory) / name
    return None


def catalogue(generator, size_text, data_dir):
    """The cached catalogue of this size, generated when missing."""
    tag = hashlib.sha256(Path(generator).read_bytes()).hexdigest()[:12]
    path = data_dir / f"{Path(generator).stem}-{tag}" / f"books-{size_text.upper()}.xml"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        log(f"generating {path}")
        partial = path.with_suffix(".partial")
        subprocess.run([sys.executable, str(generator), size_text, str(partial)], check=True)
        partial.rename(path)
    return path


def link_or_copy(source, target):
    if target.exists() or target.is_symlink():
        target.unlink()
    try:
        os.link(source, target)
    except OSError:
        shutil.copyfile(source, target)


# ---------------------------------------------------------------------------------------
# The measurement of one case: one stylesheet on one catalogue

@dataclass
class Case:
    stylesheet: Path
    size_text: str
    directory: Path
    outcomes: dict = field(default_factory=dict)
    checks: list = field(default_factory=list)   # (label, passed, detail)
    books: int = 0

    @property
    def name(self):
        return f"{self.stylesheet.stem} {self.size_text.upper()}"


def prepare_case(case, catalogue_path):
    # Input/ and Output/ are Brendle4's; the others write to out/. Consoles go to logs/ and
    # the first round's results are kept in first/ for the comparison.
    inputs = case.directory / "Input"
    for directory in (inputs, *(case.directory / name for name in ("Output", "out", "logs", "first"))):
        directory.mkdir(parents=True, exist_ok=True)
    for stale in (case.directory / "first").iterdir():
        stale.unlink()
    link_or_copy(catalogue_path, inputs / "books.xml")
    shutil.copyfile(case.stylesheet, inputs / "trans.xsl")
    with open(catalogue_path, "rb") as stream:
        case.books = sum(block.count(b"<book ") for block in iter(lambda: stream.read(1 << 22), b""))


def commands(case, brendle, saxon_jar, java_options):
    d = case.directory
    books, trans = str(d / "Input" / "books.xml"), str(d / "Input" / "trans.xsl")
    result = {}
    if brendle:
        result["Brendle4"] = ([str(brendle)], d / "Output" / "Brendle4.htm")
    result["xsltproc"] = (["xsltproc", "--stringparam", "maxprice", "35", "-o", str(d / "out" / "xsltproc.htm"),
                           trans, books], d / "out" / "xsltproc.htm")
    if saxon_jar:
        result["Saxon-HE"] = (["java", *java_options, "-cp", str(saxon_jar), "net.sf.saxon.Transform",
                               f"-s:{books}", f"-xsl:{trans}", f"-o:{d / 'out' / 'saxon.htm'}", "maxprice=35"],
                              d / "out" / "saxon.htm")
    return result


def clear_outputs(case):
    for path in list((case.directory / "Output").iterdir()) + list((case.directory / "out").iterdir()):
        if path.is_file():
            path.unlink()


def check_outputs(case, outputs):
    """Records whether the programs' results agree."""
    present = {name: path for name, path in outputs.items()
               if not case.outcomes[name].skipped and not case.outcomes[name].failure}
    for name, path in present.items():
        if not path.is_file():
            case.checks.append((f"{name} output", False, f"{name} wrote no {path.name}"))
    present = {name: path for name, path in present.items() if path.is_file()}
    reference = "Brendle4" if "Brendle4" in present else None
    if reference and "xsltproc" in present:
        offset = first_byte_difference(present["Brendle4"], present["xsltproc"])
        case.checks.append(("Brendle4 = xsltproc", offset is None,
                            "" if offset is None else f"first difference at byte {offset} (line ends as LF), "
                            f"see {present['Brendle4'].parent}"))
    if "Saxon-HE" in present:
        other = reference or ("xsltproc" if "xsltproc" in present else None)
        if other:
            difference = first_token_difference(present[other], present["Saxon-HE"])
            case.checks.append((f"{other} ~ Saxon-HE", difference is None,
                                f"{difference}, see {present['Saxon-HE'].parent}" if difference else ""))


def measure_case(case, programs, options):
    """Runs the programs in turns and fills case.outcomes."""
    names = [name for name in programs if not case.outcomes[name].skipped]
    size = parse_size(case.size_text)
    runs = options.runs_large if size >= LARGE else options.runs_small if size < SMALL else options.runs
    rounds = options.warmup + runs
    active = list(names)
    for round_number in range(rounds):
        warmup = round_number < options.warmup
        shift = round_number % max(len(names), 1)
        for name in names[shift:] + names[:shift]:
            outcome = case.outcomes[name]
            if name not in active:
                continue
            command, _ = programs[name]
            clear_outputs(case)
            stem = case.directory / "logs" / name
            # The warm-up round measures memory; the counted rounds measure time alone.
            memory = warmup or options.warmup == 0
            code, elapsed, rss = run_measured(command, case.directory, stem.with_suffix(".stdout"),
                                              stem.with_suffix(".stderr"), options.timeout, memory)
            label = "warm-up" if warmup else f"run {round_number - options.warmup + 1}/{runs}"
            log(f"[{case.name}] {label}: {name} {elapsed:.3f} s"
                + ("" if rss is None else f", {rss / 1024:.0f} MiB")
                + ("" if code == 0 else f", exit {code}" if code is not None else ", timed out"))
            if code != 0:
                outcome.failure = (f"timed out after {options.timeout:.0f} s" if code is None
                                   else f"exit status {code}: " + (tail(stem.with_suffix(".stderr"))
                                                                   or tail(stem.with_suffix(".stdout"))))
                active.remove(name)
                continue
            if round_number == 0 and programs[name][1].is_file():
                os.replace(programs[name][1], case.directory / "first" / f"{name}.htm")
            if rss is not None:
                outcome.rss_kib.append(rss)
            if not warmup:
                outcome.seconds.append(elapsed)
            elif elapsed >= options.long_run:
                # A run this long is not worth repeating; it stands as the only sample.
                outcome.seconds.append(elapsed)
                outcome.single = True
                active.remove(name)
        if round_number == 0:
            # The first results stay in first/ for a look when they disagree.
            check_outputs(case, {name: case.directory / "first" / f"{name}.htm" for name in names})


# ---------------------------------------------------------------------------------------
# Memory-stream micro-benchmark

def run_stream_benchmark(executable):
    """Bytes per second of the memory stream and of memcpy, or an error text.

    Page faults on fresh memory dominate both and vary a lot on a shared machine, so
    the repetitions of the two are interleaved and their medians compared."""
    result = subprocess.run([str(executable), "--benchmark_format=json",
                             f"--benchmark_repetitions={STREAM_REPETITIONS}",
                             "--benchmark_enable_random_interleaving=true",
                             "--benchmark_report_aggregates_only=true"], capture_output=True, text=True)
    if result.returncode != 0:
        return f"memory_stream_bench failed: {result.stderr.strip()[-300:]}"
    rates = {}
    for entry in json.loads(result.stdout)["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            if "error_message" in entry:
                return f"{entry['run_name']}: {entry['error_message']}"
            rates[entry["run_name"].split("/")[0]] = entry["bytes_per_second"]
    return rates


# ---------------------------------------------------------------------------------------
# Report

def seconds(value):
    if value < 1:
        return f"{value * 1000:.1f} ms"
    return f"{value:.3f} s" if value < 10 else f"{value:.1f} s"


def median_of(outcome, attribute):
    return statistics.median(getattr(outcome, attribute))


def measured(outcome):
    return outcome is not None and bool(outcome.seconds) and bool(outcome.rss_kib)


def cell(outcome):
    if outcome.skipped:
        return outcome.skipped
    if outcome.failure:
        return f"**failed** ({outcome.failure.split(':')[0]})"
    if not measured(outcome):
        return "n/a"
    text = f"{seconds(median_of(outcome, 'seconds'))}, {median_of(outcome, 'rss_kib') / 1024:.0f} MiB"
    return text + (" (1 run)" if outcome.single else "")


def ratio(case, other, attribute):
    mine, theirs = case.outcomes.get("Brendle4"), case.outcomes.get(other)
    if not measured(mine) or not measured(theirs):
        return "–"
    value = median_of(mine, attribute) / median_of(theirs, attribute)
    return f"{value:.3g}"


def machine_lines():
    model = "unknown"
    memory = ""
    try:
        model = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                     if line.startswith("model name"))
        total_kib = next(int(line.split()[1]) for line in open("/proc/meminfo") if line.startswith("MemTotal"))
        memory = f", {total_kib / 1024 ** 2:.1f} GiB memory"
    except (OSError, StopIteration):
        pass
    cpus = len(os.sched_getaffinity(0))
    return f"{cpus} CPUs (nproc), {model}{memory}, Linux {platform.release()}"


def tool_versions(saxon_jar):
    versions = []
    try:
        text = subprocess.run(["xsltproc", "--version"], capture_output=True, text=True).stdout
        versions.append("xsltproc: " + text.splitlines()[0].strip())
    except (OSError, IndexError):
        versions.append("xsltproc: not found")
    if saxon_jar:
        saxon = subprocess.run(["java", "-cp", str(saxon_jar), "net.sf.saxon.Version"],
                               capture_output=True, text=True)
        java = subprocess.run(["java", "-version"], capture_output=True, text=True)
        versions.append(f"Saxon-HE: {(saxon.stdout + saxon.stderr).strip().splitlines()[0]} "
                        f"on {(java.stderr or java.stdout).strip().splitlines()[0]}")
    else:
        versions.append("Saxon-HE: not installed")
    return versions


def git_revision():
    result = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"],
                            capture_output=True, text=True)
    return result.stdout.strip() or "unknown"


def report(cases, options, saxon_jar, stream, started, load_before):
    lines = ["# Transformation benchmark", ""]
    lines.append(f"- Date: {started:%Y-%m-%d %H:%M} UTC; revision {git_revision()}")
    lines.append(f"- Machine: {machine_lines()}")
    lines.append(f"- Load average before / after: {load_before} / "
                 f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    for version in tool_versions(saxon_jar):
        lines.append(f"- {version}")
    lines.append(f"- Runs: {options.warmup} warm-up then {options.runs} counted per program "
                 f"({options.runs_small} below 10 MB, {options.runs_large} at 100 MB), programs alternating; median wall time of the "
                 "counted runs; peak resident memory (GNU time %M) of the warm-up"
                 + (" (of the counted runs, without a warm-up)" if options.warmup == 0 else ""))
    lines.append(f"- Command: `{' '.join(['bench/run.py', *sys.argv[1:]])}`")
    lines += ["", "| Stylesheet | Catalogue | Brendle4 | xsltproc | Saxon-HE | "
              "time B4/xsltproc | memory B4/xsltproc | time B4/Saxon | memory B4/Saxon | results agree |",
              "|---|---|---|---|---|---|---|---|---|---|"]
    for case in cases:
        agree = "; ".join(("yes: " if passed else "**NO**: ") + label for label, passed, _ in case.checks) or "–"
        lines.append(f"| {case.stylesheet.name} | {size_label(case.size_text)} ({case.books} books) | "
                     + " | ".join(cell(case.outcomes[name]) for name in PROGRAMS) + " | "
                     + " | ".join([ratio(case, "xsltproc", "seconds"), ratio(case, "xsltproc", "rss_kib"),
                                   ratio(case, "Saxon-HE", "seconds"), ratio(case, "Saxon-HE", "rss_kib")])
                     + f" | {agree} |")

    growth = []
    for stylesheet in dict.fromkeys(case.stylesheet for case in cases):
        by_size = {parse_size(case.size_text): case for case in cases if case.stylesheet == stylesheet}
        small, big = by_size.get(10 * 1024 ** 2), by_size.get(100 * 1024 ** 2)
        if not small or not big:
            continue
        for name in PROGRAMS:
            a, b = small.outcomes.get(name), big.outcomes.get(name)
            if measured(a) and measured(b):
                growth.append(f"| {stylesheet.name} | {name} | "
                              f"{median_of(b, 'seconds') / median_of(a, 'seconds'):.3g} |")
    if growth:
        lines += ["", "Time growth from 10 MB to 100 MB:", "", "| Stylesheet | Program | 100 MB / 10 MB |",
                  "|---|---|---|", *growth]

    if stream is not None:
        lines += ["", "Memory stream, 1 GiB written in 4 KiB pieces (memory_stream_bench, "
                  f"medians of {STREAM_REPETITIONS} interleaved repetitions):", ""]
        if isinstance(stream, dict) and {"MemoryStreamWrite", "MemcpyIntoReservedBuffer"} <= stream.keys():
            s, m = stream["MemoryStreamWrite"], stream["MemcpyIntoReservedBuffer"]
            lines += ["| IStream::Write | memcpy into a reserved buffer | stream / memcpy |", "|---|---|---|",
                      f"| {s / 2 ** 30:.2f} GiB/s | {m / 2 ** 30:.2f} GiB/s | {s / m:.2f} |"]
        else:
            lines.append(f"not measured: {stream}")

    notes = []
    for case in cases:
        for name in PROGRAMS:
            outcome = case.outcomes[name]
            if outcome.failure:
                notes.append(f"- {case.name}, {name}: {outcome.failure}")
        for label, passed, detail in case.checks:
            if not passed:
                notes.append(f"- {case.name}, {label}: {detail}")
    if notes:
        lines += ["", "Problems:", "", *notes]

    lines += ["", "<details><summary>All runs: wall seconds of the counted runs; "
              "peak MiB of the warm-up</summary>", ""]
    for case in cases:
        for name in PROGRAMS:
            outcome = case.outcomes[name]
            if outcome.seconds:
                lines.append(f"- {case.name}, {name}: " + ", ".join(f"{x:.4f}" for x in outcome.seconds)
                             + " s; " + ", ".join(f"{x / 1024:.0f}" for x in outcome.rss_kib) + " MiB")
    lines += ["", "</details>", ""]
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default=DEFAULT_SIZES, help=f"catalogue sizes (default {DEFAULT_SIZES})")
    parser.add_argument("--xsl", action="append", type=Path, metavar="FILE",
                        help="a stylesheet to measure (repeatable; default bench/select.xsl and bench/group.xsl)")
    parser.add_argument("--generator", type=Path, default=BENCH / "gen_catalog.py",
                        help="catalogue generator taking SIZE OUTPUT (default bench/gen_catalog.py)")
    parser.add_argument("--runs", type=int, default=5, help="measured runs per program (default 5)")
    parser.add_argument("--runs-small", type=int, default=21,
                        help="measured runs below 10 MB, where runs are short and noise large (default 21)")
    parser.add_argument("--runs-large", type=int, default=3, help="measured runs at 100 MB and more (default 3)")
    parser.add_argument("--warmup", type=int, default=1, help="warm-up rounds, not counted (default 1)")
    parser.add_argument("--long-run", type=float, default=120.0, metavar="SECONDS",
                        help="a warm-up run at least this long is the program's only run (default 120)")
    parser.add_argument("--timeout", type=float, default=3600.0, metavar="SECONDS",
                        help="a run taking longer is killed and counted as failed (default 3600)")
    parser.add_argument("--slow-xsltproc", action="store_true",
                        help="also run xsltproc on stylesheets with xsl:key at 100 MB and more")
    parser.add_argument("--brendle", type=Path, help="the Brendle4 program to measure (default: build it)")
    parser.add_argument("--no-brendle", action="store_true", help="measure only the other programs")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "release",
                        help="Release build directory (default build/release)")
    parser.add_argument("--no-stream", action="store_true", help="skip the memory-stream micro-benchmark")
    parser.add_argument("--no-saxon", action="store_true", help="do not run Saxon-HE")
    parser.add_argument("--saxon-jar", help="the Saxon-HE jar (default: from the libsaxonhe-java package)")
    parser.add_argument("--java-option", action="append", default=[], metavar="OPTION",
                        help="an option for java, e.g. -Xmx4g (repeatable)")
    parser.add_argument("--work-dir", type=Path, default=ROOT / "build" / "bench-runs",
                        help="where the cases' working directories go (default build/bench-runs)")
    parser.add_argument("--data-dir", type=Path, default=ROOT / "build" / "bench-data",
                        help="catalogue cache (default build/bench-data)")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "bench-results.md",
                        help="the Markdown report (default build/bench-results.md)")
    options = parser.parse_args()

    sizes = [text.strip() for text in options.sizes.split(",") if text.strip()]
    for text in sizes:
        parse_size(text)
    stylesheets = [path.resolve() for path in (options.xsl or DEFAULT_STYLESHEETS)]
    for path in stylesheets + [options.generator]:
        if not path.is_file():
            sys.exit(f"run.py: {path} not found")
    if min(options.runs, options.runs_small, options.runs_large) < 1 or options.warmup < 0:
        sys.exit("run.py: the numbers of runs must be at least 1, --warmup at least 0")
    if not shutil.which("xsltproc"):
        sys.exit("run.py: xsltproc not found (apt-get install xsltproc)")
    if not os.access(TIME, os.X_OK):
        sys.exit(f"run.py: GNU time not found at {TIME} (apt-get install time)")
    build_dir = options.build_dir.resolve()

    brendle = None
    stream_executable = None
    targets = []
    if not options.no_brendle and not options.brendle:
        targets.append("Brendle4")
    if not options.no_stream:
        targets.append("memory_stream_bench")
    built = build(build_dir, targets) if targets else []
    if options.brendle:
        brendle = options.brendle.resolve()
        if not os.access(brendle, os.X_OK):
            sys.exit(f"run.py: {brendle} is not an executable")
    elif not options.no_brendle:
        brendle = find_executable(build_dir, "Brendle4") if "Brendle4" in built else None
        if not brendle:
            sys.exit("run.py: Brendle4 could not be built; give --brendle PATH or --no-brendle")
    stream = None
    if not options.no_stream:
        stream_executable = find_executable(build_dir, "memory_stream_bench") \
            if "memory_stream_bench" in built else None
        stream = "not built (is Google Benchmark installed?)"

    saxon_jar = None
    if not options.no_saxon:
        saxon_jar = find_saxon_jar(options.saxon_jar) if shutil.which("java") else None
        if not saxon_jar:
            log("Saxon-HE not found (apt-get install libsaxonhe-java); measuring without it")

    started = datetime.datetime.now(datetime.timezone.utc)
    load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())
    if stream_executable:
        log("running memory_stream_bench")
        stream = run_stream_benchmark(stream_executable)

    cases = []
    for stylesheet in stylesheets:
        uses_key = "<xsl:key" in stylesheet.read_text(encoding="utf-8", errors="replace")
        for size_text in sizes:
            case = Case(stylesheet, size_text, options.work_dir.resolve() / f"{stylesheet.stem}-{size_text.upper()}")
            prepare_case(case, catalogue(options.generator, size_text, options.data_dir.resolve()))
            programs = commands(case, brendle, saxon_jar, options.java_option)
            for name in PROGRAMS:
                case.outcomes[name] = Outcome()
                if name not in programs:
                    missing = name == "Saxon-HE" and not options.no_saxon
                    case.outcomes[name].skipped = "not installed" if missing else "not run"
            if uses_key and parse_size(size_text) >= LARGE and not options.slow_xsltproc:
                case.outcomes["xsltproc"].skipped = "skipped: key() is quadratic here (--slow-xsltproc)"
            measure_case(case, programs, options)
            cases.append(case)

    text = report(cases, options, saxon_jar, stream, started, load_before)
    options.out.parent.mkdir(parents=True, exist_ok=True)
    options.out.write_text(text, encoding="utf-8")
    print(text)
    log(f"report written to {options.out}")
    failed = any(not passed for case in cases for _, passed, _ in case.checks) or \
        any(outcome.failure for case in cases for outcome in case.outcomes.values())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
