#!/usr/bin/env python3
"""Transformation benchmark: Brendle4 against xsltproc and Saxon-HE.

For every stylesheet and catalogue size, each program transforms the same
Input/books.xml with the same Input/trans.xsl and maxprice=35:

  Brendle4   run without arguments in the case's working directory (Input/,
             Output/), standard input at end of file, console sent to a file;
  xsltproc   xsltproc --stringparam maxprice 35 -o OUT Input/trans.xsl Input/books.xml
  Saxon-HE   java -cp JAR net.sf.saxon.Transform -s:... -xsl:... -o:OUT maxprice=35
             (when a Saxon-HE jar and java are installed).

Every run is started through measured_run (bench/measured_run.cpp), which reports
that program's own wall time (monotonic clock), peak resident memory (ru_maxrss)
and minor and major page faults, as wait4 gives them. The programs run one at a
time and take turns, in an order that alternates between rounds so that each program
follows each other program equally often (a run right after the JVM's is slower, and a
rotating order would give one program that predecessor more often); warm-up rounds come first
and are not counted. Per program and case the report gives the medians of the
counted runs and Brendle4's ratios to the others, as Markdown on standard output
and in a file (--out, default build/bench-results.md), with the machine and the
date. The results also go to a JSON file beside it (bench-results.json), and a
plot of time, peak memory and page faults against catalogue size to a PNG beside
it (bench-results.png), drawn by gnuplot (Debian package gnuplot-nox); without
gnuplot the benchmark runs all the same and says that the plot is missing.
--from-json redraws the report and the plot from a saved JSON file.

Runs per program: 21 below 10 MB, 5 below 100 MB and 3 below 1 GB, each case
after one warm-up round; 1 from 1 GB on, without a warm-up (the catalogue has
just been read to count its books, so it is in the page cache). A warm-up run
longer than --long-run stands as the program's only run.

The outputs are checked after the first round: Brendle4's file must equal
xsltproc's apart from line ends (Brendle4 writes CR LF, and a trailing line end
more or less is accepted); against Saxon, whose serializer indents and quotes
differently, the element names and the words of the text must agree.

Catalogues are made by bench/gen_catalog.py or by --generator, any program that
takes SIZE OUTPUT with SIZE in bytes (a .py file runs under this Python), and are
kept under build/bench-data/. measured_run, Brendle4 (unless --brendle names one)
and the memory-stream micro-benchmark are built first in the Release build
directory. xsltproc's run of a stylesheet with xsl:key at 100 MB or more is
skipped unless --slow-xsltproc is given: its key() makes that run take many
minutes. From 1 GB on Saxon-HE gets a maximum heap of three quarters of the
machine's memory unless --java-option sets one: java's default, a quarter, is too
small for a tree of that size.
"""

import argparse
import collections
import dataclasses
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
DEFAULT_OUT = ROOT / "build" / "bench-results.md"
UNITS = {"K": 1024, "M": 1024 ** 2, "G": 1024 ** 3}
SMALL = 10 * 1024 ** 2
LARGE = 100 * 1024 ** 2
HUGE = 1024 ** 3
PROGRAMS = ["Brendle4", "xsltproc", "Saxon-HE"]
STREAM_REPETITIONS = 7
RESULTS_FORMAT = 1


def log(message):
    print(message, file=sys.stderr, flush=True)


def canonical_size(text):
    """The size as file names and tables show it: "1G" for "1g", "1GB" or "01G"."""
    upper = text.strip().upper()
    if upper[-2:] in ("KB", "MB", "GB"):
        upper = upper[:-1]
    unit = upper[-1:] if upper[-1:] in UNITS else ""
    digits = upper[:-1] if unit else upper
    if not re.fullmatch(r"[0-9]+", digits) or int(digits) <= 0:
        raise argparse.ArgumentTypeError(f"bad size {text!r} (use e.g. 1K, 10M, 100M, 1G)")
    return f"{int(digits)}{unit}"


def parse_size(text):
    """The size in bytes; K, M and G are powers of 1024."""
    canonical = canonical_size(text)
    unit = canonical[-1] if canonical[-1] in UNITS else ""
    return int(canonical.rstrip("KMG")) * UNITS.get(unit, 1)


def size_label(text):
    canonical = canonical_size(text)
    return f"{canonical[:-1]} {canonical[-1]}B" if canonical[-1] in UNITS else f"{canonical} B"


# ---------------------------------------------------------------------------------------
# Running one program and measuring it

@dataclass
class Measurement:
    """What one run of one program cost."""
    seconds: float
    rss_kib: int
    minor_faults: int
    major_faults: int


@dataclass
class Outcome:
    """What one program did on one case."""
    runs: list = field(default_factory=list)   # a Measurement per counted run
    failure: str = ""      # why its runs stopped, if they did
    skipped: str = ""      # why it was not run at all
    single: bool = False   # its warm-up was long enough to stand as the only sample


def parse_measured_run(text):
    """(failure, Measurement) from measured_run's report; failure is "" after exit status 0.

    A report of a program that could not be started has no Measurement. Raises
    ValueError for a report that is cut short or malformed."""
    fields = dict(line.split(" ", 1) for line in text.splitlines() if " " in line)
    if "error" in fields:
        return f"could not start {fields['error']}", None
    try:
        measurement = Measurement(int(fields["wall_ns"]) / 1e9, int(fields["maxrss_kib"]),
                                  int(fields["minflt"]), int(fields["majflt"]))
        if "signal" in fields:
            return f"killed by signal {int(fields['signal'])}", measurement
        code = int(fields["exit"])
    except (KeyError, ValueError) as error:
        raise ValueError(f"incomplete report from measured_run: {text!r}") from error
    return ("" if code == 0 else f"exit status {code}"), measurement


def run_measured(launcher, command, cwd, stdout_path, stderr_path, timeout):
    """Runs `command` once through measured_run; returns (failure, Measurement or None).

    failure is "" after exit status 0. On timeout the whole process group is killed."""
    report_path = Path(str(stderr_path) + ".measured")
    report_path.unlink(missing_ok=True)
    with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
        process = subprocess.Popen([str(launcher), str(report_path), *command], cwd=cwd, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=err, start_new_session=True)
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
        process.wait()
        timer.cancel()
    if expired.is_set():
        return f"timed out after {timeout:g} s", None
    try:
        return parse_measured_run(report_path.read_text(errors="replace"))
    except (OSError, ValueError):
        return f"measured_run failed with exit status {process.returncode}", None


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


def same_tokens_in_any_order(path_a, path_b, chunk=1 << 22):
    """True when both files hold the same element names and words, counted, in whatever order.

    Brendle4 sorts text linguistically, as the platform does, where xsltproc and Saxon-HE sort it
    by code point: a stylesheet that sorts mixed-case text gives the same rows in another order."""
    return (collections.Counter(html_tokens(path_a, chunk)) ==
            collections.Counter(html_tokens(path_b, chunk)))


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


def generator_command(generator, size_bytes, output):
    """The command that makes a catalogue of `size_bytes` in `output`."""
    interpreter = [sys.executable] if Path(generator).suffix == ".py" else []
    return [*interpreter, str(generator), str(size_bytes), str(output)]


def catalogue(generator, size_text, data_dir):
    """The cached catalogue of this size, generated when missing."""
    tag = hashlib.sha256(Path(generator).read_bytes()).hexdigest()[:12]
    path = data_dir / f"{Path(generator).stem}-{tag}" / f"books-{canonical_size(size_text)}.xml"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        log(f"generating {path}")
        partial = path.with_suffix(".partial")
        started = time.monotonic()
        subprocess.run(generator_command(generator, parse_size(size_text), partial), check=True)
        partial.rename(path)
        log(f"generated {path.stat().st_size} bytes in {time.monotonic() - started:.1f} s")
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
        return f"{self.stylesheet.stem} {self.size_text}"


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


def case_directory_names(stylesheets):
    """A working-directory stem per stylesheet: its own stem, numbered where two share one."""
    stems = [path.stem for path in stylesheets]
    return [stem if stems.count(stem) == 1 else f"{stem}-{index + 1}" for index, stem in enumerate(stems)]


def java_options_for(size, java_options, memory_kib):
    """java's options at a catalogue of `size` bytes: from 1 GB on a maximum heap of three
    quarters of `memory_kib`, unless the options already bound the heap."""
    if size < HUGE or any(option.startswith(("-Xmx", "-XX:MaxHeapSize", "-XX:MaxRAM")) for option in java_options):
        return list(java_options)
    return [*java_options, f"-Xmx{max(1, memory_kib * 3 // 4 // 1024 ** 2)}g"]


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
        if offset is not None and same_tokens_in_any_order(present["Brendle4"], present["xsltproc"]):
            case.checks.append(("Brendle4 = xsltproc but for the order of sorted text", True, ""))
        else:
            case.checks.append(("Brendle4 = xsltproc", offset is None,
                                "" if offset is None else f"first difference at byte {offset} (line ends as LF), "
                                f"see {present['Brendle4'].parent}"))
    if "Saxon-HE" in present:
        other = reference or ("xsltproc" if "xsltproc" in present else None)
        if other:
            difference = first_token_difference(present[other], present["Saxon-HE"])
            if difference and same_tokens_in_any_order(present[other], present["Saxon-HE"]):
                case.checks.append((f"{other} ~ Saxon-HE but for the order of sorted text", True, ""))
            else:
                case.checks.append((f"{other} ~ Saxon-HE", difference is None,
                                    f"{difference}, see {present['Saxon-HE'].parent}" if difference else ""))


def runs_for(size, options):
    """(warm-up rounds, counted runs per program) at a catalogue of `size` bytes."""
    if size >= HUGE:
        return 0, options.runs_huge
    if size >= LARGE:
        return options.warmup, options.runs_large
    return options.warmup, options.runs if size >= SMALL else options.runs_small


def turn_order(names, round_number):
    """The order of the programs in a round. The first stays first and the others reverse
    every other round: with up to three programs, two rounds in a row then make every
    ordered pair of different programs follow each other once, counting the change from one
    round to the next, and no program ever follows itself."""
    rest = names[1:] if round_number % 2 == 0 else names[:0:-1]
    return names[:1] + rest


def describe(measurement):
    return (f"{measurement.seconds:.3f} s, {measurement.rss_kib / 1024:.0f} MiB, "
            f"{measurement.minor_faults} + {measurement.major_faults} faults")


def measure_case(case, programs, options, launcher):
    """Runs the programs in turns, one at a time, and fills case.outcomes."""
    names = [name for name in programs if not case.outcomes[name].skipped]
    warmups, runs = runs_for(parse_size(case.size_text), options)
    active = list(names)
    for round_number in range(warmups + runs):
        warmup = round_number < warmups
        for name in turn_order(names, round_number):
            outcome = case.outcomes[name]
            if name not in active:
                continue
            command, output = programs[name]
            clear_outputs(case)
            stem = case.directory / "logs" / name
            failure, measurement = run_measured(launcher, command, case.directory, stem.with_suffix(".stdout"),
                                                stem.with_suffix(".stderr"), options.timeout)
            label = "warm-up" if warmup else f"run {round_number - warmups + 1}/{runs}"
            log(f"[{case.name}] {label}: {name} " + ", ".join(
                part for part in (describe(measurement) if measurement else "", failure) if part))
            if failure:
                if not failure.startswith("timed out"):
                    detail = tail(stem.with_suffix(".stderr")) or tail(stem.with_suffix(".stdout"))
                    failure += f": {detail}" if detail else ""
                outcome.failure = failure
                active.remove(name)
                continue
            if round_number == 0 and output.is_file():
                os.replace(output, case.directory / "first" / f"{name}.htm")
            if not warmup:
                outcome.runs.append(measurement)
            elif measurement.seconds >= options.long_run:
                # A run this long is not worth repeating; it stands as the only sample.
                outcome.runs.append(measurement)
                outcome.single = True
                active.remove(name)
        if round_number == 0:
            # The first results stay in first/ for a look when they disagree.
            started = time.monotonic()
            check_outputs(case, {name: case.directory / "first" / f"{name}.htm" for name in names})
            log(f"[{case.name}] results compared in {time.monotonic() - started:.1f} s")


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


def measured(outcome):
    """Whether the outcome has counted runs and none of its runs failed."""
    return outcome is not None and bool(outcome.runs) and not outcome.failure and not outcome.skipped


def median_of(outcome, attribute):
    return statistics.median(getattr(run, attribute) for run in outcome.runs)


def unmeasured_cell(outcome):
    if outcome.skipped:
        return outcome.skipped
    if outcome.failure:
        return f"**failed** ({outcome.failure.split(':')[0]})"
    return "n/a"


def cell(outcome):
    if not measured(outcome):
        return unmeasured_cell(outcome)
    text = f"{seconds(median_of(outcome, 'seconds'))}, {median_of(outcome, 'rss_kib') / 1024:.0f} MiB"
    return text + (" (1 run)" if len(outcome.runs) == 1 else "")


def fault_cell(outcome):
    if not measured(outcome):
        return unmeasured_cell(outcome)
    return f"{median_of(outcome, 'minor_faults'):,.0f} / {median_of(outcome, 'major_faults'):,.0f}"


def ratio(case, other, attribute):
    """Brendle4's median over `other`'s, as text; "–" where either is missing or the divisor is 0."""
    mine, theirs = case.outcomes.get("Brendle4"), case.outcomes.get(other)
    if not measured(mine) or not measured(theirs) or median_of(theirs, attribute) == 0:
        return "–"
    return f"{median_of(mine, attribute) / median_of(theirs, attribute):.3g}"


def growth_rows(cases):
    """(stylesheet, program, smaller size, larger size, time ratio, memory ratio) for each step
    between consecutive sizes of a stylesheet from 10 MB on, where start-up no longer dominates."""
    rows = []
    for stylesheet in dict.fromkeys(case.stylesheet for case in cases):
        ordered = sorted((case for case in cases if case.stylesheet == stylesheet),
                         key=lambda case: parse_size(case.size_text))
        steps = [(a, b) for a, b in zip(ordered, ordered[1:]) if parse_size(a.size_text) >= SMALL]
        for name in PROGRAMS:
            for small, big in steps:
                a, b = small.outcomes.get(name), big.outcomes.get(name)
                if measured(a) and measured(b):
                    rows.append((stylesheet.name, name, small.size_text, big.size_text,
                                 median_of(b, "seconds") / median_of(a, "seconds"),
                                 median_of(b, "rss_kib") / median_of(a, "rss_kib")))
    return rows


def machine_memory_kib():
    try:
        return next(int(line.split()[1]) for line in open("/proc/meminfo") if line.startswith("MemTotal"))
    except (OSError, StopIteration):
        return 0


def available_memory_kib():
    try:
        return next(int(line.split()[1]) for line in open("/proc/meminfo") if line.startswith("MemAvailable"))
    except (OSError, StopIteration):
        return 0


def machine_lines():
    model = "unknown"
    try:
        model = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                     if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    total_kib = machine_memory_kib()
    memory = f", {total_kib / 1024 ** 2:.1f} GiB memory" if total_kib else ""
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


def load_average():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def report(cases, meta, plot_note):
    """The Markdown report of the cases; `meta` says where, when and how they were measured."""
    lines = ["# Transformation benchmark", ""]
    lines.append(f"- Date: {meta['date']}; revision {meta['revision']}")
    lines.append(f"- Machine: {meta['machine']}")
    lines.append(f"- Load average before / after: {meta['load_before']} / {meta['load_after']}")
    lines += [f"- {version}" for version in meta["versions"]]
    lines.append(f"- Runs: {meta['runs']}")
    lines += [f"- {note}" for note in meta.get("notes", [])]
    lines.append(f"- Command: `{meta['command']}`")
    lines.append(f"- Plot: {plot_note}")
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

    lines += ["", "Page faults per run (medians, minor / major):", "",
              "| Stylesheet | Catalogue | Brendle4 | xsltproc | Saxon-HE | minor faults B4/xsltproc | "
              "minor faults B4/Saxon |", "|---|---|---|---|---|---|---|"]
    for case in cases:
        lines.append(f"| {case.stylesheet.name} | {size_label(case.size_text)} | "
                     + " | ".join(fault_cell(case.outcomes[name]) for name in PROGRAMS) + " | "
                     + f"{ratio(case, 'xsltproc', 'minor_faults')} | {ratio(case, 'Saxon-HE', 'minor_faults')} |")

    growth = growth_rows(cases)
    if growth:
        lines += ["", "Growth between catalogue sizes:", "", "| Stylesheet | Program | Step | time | peak memory |",
                  "|---|---|---|---|---|"]
        lines += [f"| {sheet} | {name} | {size_label(a)} → {size_label(b)} | × {t:.3g} | × {m:.3g} |"
                  for sheet, name, a, b, t, m in growth]

    stream = meta.get("stream")
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

    lines += ["", "<details><summary>All counted runs: wall time, peak memory, minor + major page faults"
              "</summary>", ""]
    for case in cases:
        for name in PROGRAMS:
            outcome = case.outcomes[name]
            if outcome.runs:
                lines.append(f"- {case.name}, {name}: " + "; ".join(
                    f"{run.seconds:.4f} s, {run.rss_kib / 1024:.0f} MiB, {run.minor_faults} + {run.major_faults}"
                    for run in outcome.runs))
    lines += ["", "</details>", ""]
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------
# Results file

def results_json(cases, meta):
    """Everything the report and the plot are made from, as JSON-ready data."""
    return {"format": RESULTS_FORMAT, "meta": meta, "cases": [{
        "stylesheet": str(case.stylesheet), "size": case.size_text, "bytes": parse_size(case.size_text),
        "books": case.books, "directory": str(case.directory),
        "checks": [{"label": label, "passed": passed, "detail": detail} for label, passed, detail in case.checks],
        "programs": {name: {"runs": [dataclasses.asdict(run) for run in outcome.runs], "failure": outcome.failure,
                            "skipped": outcome.skipped, "single": outcome.single}
                     for name, outcome in case.outcomes.items()},
    } for case in cases]}


def results_from_json(data):
    """(cases, meta) back from results_json's data; raises ValueError for another format."""
    if not isinstance(data, dict) or data.get("format") != RESULTS_FORMAT:
        raise ValueError(f"not a results file of format {RESULTS_FORMAT}")
    cases = []
    for entry in data["cases"]:
        case = Case(Path(entry["stylesheet"]), entry["size"], Path(entry["directory"]), books=entry["books"])
        case.checks = [(check["label"], check["passed"], check["detail"]) for check in entry["checks"]]
        for name, outcome in entry["programs"].items():
            case.outcomes[name] = Outcome([Measurement(**run) for run in outcome["runs"]], outcome["failure"],
                                          outcome["skipped"], outcome["single"])
        cases.append(case)
    return cases, data["meta"]


# ---------------------------------------------------------------------------------------
# Growth plot

METRICS = [("seconds", "wall time", "seconds", 1.0),
           ("rss_kib", "peak memory", "MiB", 1 / 1024),
           ("minor_faults", "minor page faults", "faults per run", 1.0)]
COLOURS = {"Brendle4": "#1f5fbf", "xsltproc": "#d95f02", "Saxon-HE": "#1b9e77"}
POINT_TYPES = {"Brendle4": 7, "xsltproc": 5, "Saxon-HE": 9}


@dataclass
class Panel:
    title: str
    unit: str
    series: dict   # program -> [(catalogue bytes, median)] in size order


def plot_panels(cases):
    """The plot's panels, a row per stylesheet and a column per metric. Programs that were
    skipped or failed at a size have no point there."""
    panels = []
    for stylesheet in dict.fromkeys(case.stylesheet for case in cases):
        ordered = sorted((case for case in cases if case.stylesheet == stylesheet),
                         key=lambda case: parse_size(case.size_text))
        for attribute, title, unit, scale in METRICS:
            series = {}
            for name in PROGRAMS:
                points = [(parse_size(case.size_text), median_of(case.outcomes[name], attribute) * scale)
                          for case in ordered if measured(case.outcomes.get(name))]
                if points:
                    series[name] = points
            panels.append(Panel(f"{stylesheet.name}: {title}", unit, series))
    return panels


def size_tics(cases):
    """(bytes, label) of every catalogue size, in size order."""
    return sorted({(parse_size(case.size_text), size_label(case.size_text)) for case in cases})


def gnuplot_quote(text):
    return "'" + str(text).replace("'", "''") + "'"


def gnuplot_script(panels, tics, png_path, title):
    columns = len(METRICS)
    rows = max(1, len(panels) // columns)
    lines = [f"set terminal pngcairo size {520 * columns},{400 * rows} font 'sans,10'",
             f"set output {gnuplot_quote(png_path)}",
             "set logscale xy", "set grid", "set key top left", "set format y '%g'", "set xlabel 'catalogue'",
             "set xtics (" + ", ".join(f"{gnuplot_quote(label)} {size}" for size, label in tics) + ")",
             f"set xrange [{tics[0][0] / 2}:{tics[-1][0] * 2}]"]
    for index, panel in enumerate(panels):
        for number, points in enumerate(panel.series.values()):
            lines += [f"$p{index}s{number} << EOD", *(f"{x} {y!r}" for x, y in points), "EOD"]
    lines.append(f"set multiplot layout {rows},{columns} title {gnuplot_quote(title)}")
    for index, panel in enumerate(panels):
        lines += [f"set title {gnuplot_quote(panel.title)}", f"set ylabel {gnuplot_quote(panel.unit)}"]
        if not panel.series:
            lines += ["set label 1 'no measurements' at graph 0.5, 0.5 center", "unset key",
                      f"plot [{tics[0][0] / 2}:{tics[-1][0] * 2}] [1:10] 1/0 notitle", "unset label 1", "set key"]
            continue
        lines.append("plot " + ", ".join(
            f"$p{index}s{number} using 1:2 with linespoints lw 2 ps 1.2 pt {POINT_TYPES[name]} "
            f"lc rgb '{COLOURS[name]}' title {gnuplot_quote(name)}"
            for number, name in enumerate(panel.series)))
    lines += ["unset multiplot", ""]
    return "\n".join(lines)


def draw_plot(cases, png_path, title):
    """Draws the growth plot into png_path; returns what the report says about it."""
    if not cases:
        return "not drawn: no cases"
    gnuplot = shutil.which("gnuplot")
    if not gnuplot:
        return "not drawn: gnuplot not found (apt-get install gnuplot-nox)"
    png_path.parent.mkdir(parents=True, exist_ok=True)
    partial = png_path.with_suffix(".partial.png")
    script = gnuplot_script(plot_panels(cases), size_tics(cases), partial, title)
    result = subprocess.run([gnuplot], input=script, capture_output=True, text=True)
    if result.returncode != 0 or not partial.is_file():
        partial.unlink(missing_ok=True)
        return f"not drawn: gnuplot failed: {' | '.join(result.stderr.strip().splitlines()[-3:])}"
    partial.replace(png_path)
    return f"{png_path} (time, peak memory and minor page faults against catalogue size, log-log)"


# ---------------------------------------------------------------------------------------

def finish(cases, meta, out, plot_copies, save_json):
    """Writes the results file (when `save_json`), the plot and the report; returns the exit status."""
    out.parent.mkdir(parents=True, exist_ok=True)
    if save_json:
        out.with_suffix(".json").write_text(json.dumps(results_json(cases, meta), indent=1) + "\n", encoding="utf-8")
        log(f"results written to {out.with_suffix('.json')}")
    png = out.with_suffix(".png")
    plot_note = draw_plot(cases, png, f"Brendle4, xsltproc and Saxon-HE, {meta['date']}, revision {meta['revision']}")
    if plot_note.startswith("not drawn"):
        png.unlink(missing_ok=True)   # a plot of earlier results would pass for these
    else:
        for copy in plot_copies:
            copy.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(png, copy)
            plot_note += f"; copied to {copy}"
    log(f"plot: {plot_note}")
    text = report(cases, meta, plot_note)
    out.write_text(text, encoding="utf-8")
    print(text)
    log(f"report written to {out}")
    failed = any(not passed for case in cases for _, passed, _ in case.checks) or \
        any(outcome.failure for case in cases for outcome in case.outcomes.values())
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default=DEFAULT_SIZES,
                        help=f"catalogue sizes, K, M and G being powers of 1024 (default {DEFAULT_SIZES})")
    parser.add_argument("--xsl", action="append", type=Path, metavar="FILE",
                        help="a stylesheet to measure (repeatable; default bench/select.xsl and bench/group.xsl)")
    parser.add_argument("--generator", type=Path, default=BENCH / "gen_catalog.py",
                        help="catalogue generator taking SIZE OUTPUT, SIZE in bytes; a .py file runs under "
                             "this Python (default bench/gen_catalog.py)")
    parser.add_argument("--runs", type=int, default=5, help="measured runs per program from 10 MB on (default 5)")
    parser.add_argument("--runs-small", type=int, default=21,
                        help="measured runs below 10 MB, where runs are short and noise large (default 21)")
    parser.add_argument("--runs-large", type=int, default=3, help="measured runs from 100 MB on (default 3)")
    parser.add_argument("--runs-huge", type=int, default=1,
                        help="measured runs from 1 GB on, where there is no warm-up (default 1)")
    parser.add_argument("--warmup", type=int, default=1, help="warm-up rounds below 1 GB, not counted (default 1)")
    parser.add_argument("--long-run", type=float, default=120.0, metavar="SECONDS",
                        help="a warm-up run at least this long is the program's only run (default 120)")
    parser.add_argument("--timeout", type=float, default=3600.0, metavar="SECONDS",
                        help="a run taking longer is killed and counted as failed; 0 for none (default 3600)")
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
    parser.add_argument("--out", type=Path,
                        help="the Markdown report; the results (.json) and the plot (.png) go beside it "
                             "(default build/bench-results.md, or beside --from-json's file)")
    parser.add_argument("--plot", action="append", type=Path, default=[], metavar="FILE",
                        help="also copy the plot to FILE, e.g. bench/growth.png (repeatable)")
    parser.add_argument("--from-json", type=Path, metavar="FILE",
                        help="measure nothing: redraw the report and the plot from a saved results file")
    options = parser.parse_args()

    if options.from_json:
        try:
            cases, meta = results_from_json(json.loads(options.from_json.read_text(encoding="utf-8")))
        except (OSError, ValueError, KeyError, TypeError) as error:
            sys.exit(f"run.py: cannot read {options.from_json}: {error}")
        return finish(cases, meta, options.out or options.from_json.with_suffix(".md"), options.plot, False)

    try:
        sizes = [canonical_size(text) for text in options.sizes.split(",") if text.strip()]
    except argparse.ArgumentTypeError as error:
        sys.exit(f"run.py: {error}")
    stylesheets = [path.resolve() for path in (options.xsl or DEFAULT_STYLESHEETS)]
    for path in stylesheets + [options.generator]:
        if not path.is_file():
            sys.exit(f"run.py: {path} not found")
    if min(options.runs, options.runs_small, options.runs_large, options.runs_huge) < 1 or options.warmup < 0:
        sys.exit("run.py: the numbers of runs must be at least 1, --warmup at least 0")
    if not shutil.which("xsltproc"):
        sys.exit("run.py: xsltproc not found (apt-get install xsltproc)")
    build_dir = options.build_dir.resolve()
    generator = options.generator.resolve()

    targets = ["measured_run"]
    if not options.no_brendle and not options.brendle:
        targets.append("Brendle4")
    if not options.no_stream:
        targets.append("memory_stream_bench")
    built = build(build_dir, targets)
    launcher = find_executable(build_dir, "measured_run") if "measured_run" in built else None
    if not launcher:
        sys.exit("run.py: measured_run could not be built")
    brendle = None
    if options.brendle:
        brendle = options.brendle.resolve()
        if not os.access(brendle, os.X_OK):
            sys.exit(f"run.py: {brendle} is not an executable")
    elif not options.no_brendle:
        brendle = find_executable(build_dir, "Brendle4") if "Brendle4" in built else None
        if not brendle:
            sys.exit("run.py: Brendle4 could not be built; give --brendle PATH or --no-brendle")
    stream = None
    stream_executable = None
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
    load_before = load_average()
    if stream_executable:
        log("running memory_stream_bench")
        stream = run_stream_benchmark(stream_executable)

    notes = []
    memory_kib = machine_memory_kib()
    if saxon_jar and any(parse_size(size) >= HUGE for size in sizes):
        notes.append(f"Saxon-HE from 1 GB on: java {' '.join(java_options_for(HUGE, options.java_option, memory_kib))}"
                     .rstrip())
    cases = []
    for stylesheet, directory_name in zip(stylesheets, case_directory_names(stylesheets)):
        uses_key = "<xsl:key" in stylesheet.read_text(encoding="utf-8", errors="replace")
        for size_text in sizes:
            size = parse_size(size_text)
            case = Case(stylesheet, size_text, options.work_dir.resolve() / f"{directory_name}-{size_text}")
            prepare_case(case, catalogue(generator, size_text, options.data_dir.resolve()))
            programs = commands(case, brendle, saxon_jar, java_options_for(size, options.java_option, memory_kib))
            for name in PROGRAMS:
                case.outcomes[name] = Outcome()
                if name not in programs:
                    missing = name == "Saxon-HE" and not options.no_saxon
                    case.outcomes[name].skipped = "not installed" if missing else "not run"
            if uses_key and size >= LARGE and not options.slow_xsltproc:
                case.outcomes["xsltproc"].skipped = "skipped: key() is quadratic here (--slow-xsltproc)"
            if size >= HUGE:
                # Runs this big need most of the machine: what else is running shows here.
                note = (f"Before {case.name}: {available_memory_kib() / 1024 ** 2:.1f} GiB memory available, "
                        f"load average {load_average()}")
                log(note)
                notes.append(note)
            measure_case(case, programs, options, launcher)
            cases.append(case)

    meta = {
        "date": f"{started:%Y-%m-%d %H:%M} UTC",
        "revision": git_revision(),
        "machine": machine_lines(),
        "load_before": load_before,
        "load_after": load_average(),
        "versions": tool_versions(saxon_jar),
        "runs": (f"{options.warmup} warm-up round{'' if options.warmup == 1 else 's'}, then per program "
                 f"{options.runs_small} counted runs below 10 MB, {options.runs} below 100 MB, "
                 f"{options.runs_large} below 1 GB and {options.runs_huge} from 1 GB on (without a warm-up); "
                 "programs alternating, one at a time, each run measured alone by measured_run; medians of "
                 "the counted runs' wall time, peak resident memory (ru_maxrss) and page faults"),
        "notes": notes,
        "command": " ".join(["bench/run.py", *sys.argv[1:]]),
        "stream": stream,
    }
    return finish(cases, meta, options.out or DEFAULT_OUT, options.plot, True)


if __name__ == "__main__":
    sys.exit(main())
