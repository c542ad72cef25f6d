#!/usr/bin/env python3
"""Checks of the benchmark's result comparison, its measurements and what it makes of
them: a comparison that passes wrong results, or a measurement that reports another
process's memory, would make every figure of the benchmark meaningless.

The measurements are checked with the measured_run program that BENCH_MEASURED_RUN
names (ctest sets it); without it those checks are skipped."""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest
from collections import Counter
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402


class Files:
    def __init__(self):
        self.directory = tempfile.TemporaryDirectory()
        self.count = 0

    def __del__(self):
        self.directory.cleanup()

    def __call__(self, content):
        self.count += 1
        path = Path(self.directory.name) / f"f{self.count}"
        path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
        return path


class ByteComparison(unittest.TestCase):
    # (CR LF file, LF file, expected offset or None); each is tried with chunks small
    # enough to cut CR LF pairs and tokens apart, and with one large chunk.
    CASES = [
        (b"<p>a</p>\r\n<p>b</p>\r\n", b"<p>a</p>\n<p>b</p>\n", None),
        (b"<p>x</p>\r\n\r\n", b"<p>x</p>\n", None),           # the line end added after the result
        (b"<p>x</p>", b"<p>x</p>\n", None),
        (b"a\r\r\nb\r\n", b"a\r\nb\n", None),                  # a CR in the result gains a CR LF
        (b"a\r\nb\r\n", b"a\r\nb\n", 1),                       # ... and is not lost
        (b"a\rb\r\n", b"ab\n", 1),                             # a lone CR is a difference
        (b"<td>6.73</td>\r\n", b"<td>6.74</td>\n", 7),
        (b"<p>a</p>\r\n", b"<p>a</p>\n<p>b</p>\n", 9),         # a truncated result
        (b"<p>a</p>\r\n<p>b</p>\r\n", b"<p>a</p>\n", 9),       # an extra element
        (b"", b"\n", None),
        (b"x\r\n", b"", 0),
    ]

    def test_cases(self):
        files = Files()
        for crlf, lf, expected in self.CASES:
            a, b = files(crlf), files(lf)
            for chunk in (1, 2, 3, 1 << 20):
                with self.subTest(crlf=crlf, lf=lf, chunk=chunk):
                    self.assertEqual(run.first_byte_difference(a, b, chunk), expected)


LIBXSLT_STYLE = """<html>
<head>
<meta http-equiv="Content-Type" content="text/html; charset=UTF-8">
<title>Books &amp; more</title>
</head>
<body>
<table border="1"><tr>
<td>Åberg, Zsófia</td>
<td>34.67</td>
</tr></table>
</body>
</html>
"""

# The same document as Saxon serializes it: indented, other quoting, characters as
# references, a DOCTYPE and a comment.
SAXON_STYLE = """<!DOCTYPE html><html>
   <head>
      <META http-equiv='Content-Type' content='text/html; charset=UTF-8'>
      <title>Books &#38; more</title>
   </head>
   <body>
      <!-- generated -->
      <table border='1'>
         <tr>
            <td>&#197;berg, Zs&oacute;fia</td>
            <td>34.67</td>
         </tr>
      </table>
   </body>
</html>"""


class OrderOfSortedText(unittest.TestCase):
    """Rows that a linguistic sort puts in another order still agree; other changes do not."""

    def test_same_rows_in_another_order_agree_and_changed_rows_do_not(self):
        files = Files()
        rows = "<tr><td>apple</td><td>3</td></tr>\n<tr><td>Banana</td><td>4</td></tr>\n"
        swapped = "<tr><td>Banana</td><td>4</td></tr>\n<tr><td>apple</td><td>3</td></tr>\n"
        cases = [
            ("rows swapped", swapped, True),
            ("a row changed", swapped.replace(">4<", ">5<"), False),
            ("a row lost", "<tr><td>apple</td><td>3</td></tr>\n", False),
            ("a row doubled", rows + "<tr><td>apple</td><td>3</td></tr>\n", False),
        ]
        for name, other, expected in cases:
            with self.subTest(name):
                self.assertEqual(run.same_tokens_in_any_order(files(rows), files(other), 5), expected)


class TokenComparison(unittest.TestCase):
    def compare(self, a, b, chunk):
        files = Files()
        return run.first_token_difference(files(a), files(b), chunk)

    def test_serialization_details_are_ignored(self):
        for chunk in (1, 7, 1 << 20):
            with self.subTest(chunk=chunk):
                self.assertIsNone(self.compare(LIBXSLT_STYLE, SAXON_STYLE, chunk))

    def test_differences_are_found(self):
        cases = [
            ("a changed number", SAXON_STYLE.replace("34.67", "34.68"), "'34.67' vs '34.68'"),
            ("a changed letter", SAXON_STYLE.replace("&#197;berg", "Aberg"), "'Åberg,' vs 'Aberg,'"),
            ("a lost element", SAXON_STYLE.replace("<td>34.67</td>", "34.67"), "'<td' vs '34.67'"),
            ("a truncated file", SAXON_STYLE[:SAXON_STYLE.index("<td>34.67")], "'<td' vs (end)"),
            ("words run together", SAXON_STYLE.replace("Books &#38; more", "Books&#38;more"),
             "'Books' vs 'Books&more'"),
        ]
        for label, changed, expected in cases:
            for chunk in (1, 7, 1 << 20):
                with self.subTest(label, chunk=chunk):
                    difference = self.compare(LIBXSLT_STYLE, changed, chunk)
                    self.assertIsNotNone(difference)
                    self.assertIn(expected, difference)


class Catalogue(unittest.TestCase):
    def test_smaller_catalogue_is_a_prefix_of_a_larger_one(self):
        files = Files()
        small, large = files(""), files("")
        generator = Path(run.__file__).parent / "gen_catalog.py"
        for size, path in (("4K", small), ("64K", large)):
            subprocess.run([sys.executable, str(generator), size, str(path)], check=True)
        small_bytes, large_bytes = small.read_bytes(), large.read_bytes()
        self.assertLessEqual(len(small_bytes), 4096)
        self.assertLessEqual(len(large_bytes), 65536)
        self.assertGreater(len(large_bytes), 65536 - 1024)
        books = small_bytes[:-len(b"</catalog>\n")]
        self.assertTrue(large_bytes.startswith(books))
        self.assertEqual(small_bytes.count(b"<book "), small_bytes.count(b"</book>"))
        self.assertIn("Å".encode(), large_bytes)

    def test_size_in_bytes_gives_the_same_catalogue(self):
        # run.py hands generators the size in bytes, so that its own reading of sizes is the only one.
        files = Files()
        by_suffix, by_bytes = files(""), files("")
        generator = Path(run.__file__).parent / "gen_catalog.py"
        subprocess.run([sys.executable, str(generator), "8K", str(by_suffix)], check=True)
        subprocess.run(run.generator_command(generator, run.parse_size("8K"), by_bytes), check=True)
        self.assertEqual(by_suffix.read_bytes(), by_bytes.read_bytes())
        self.assertEqual(run.generator_command(Path("/x/gen"), 5, Path("/o")), ["/x/gen", "5", "/o"])


class Sizes(unittest.TestCase):
    def test_valid_sizes(self):
        for text, canonical, size, label in [
            ("1K", "1K", 1024, "1 KB"), ("10m", "10M", 10 * 1024 ** 2, "10 MB"),
            (" 100M ", "100M", 100 * 1024 ** 2, "100 MB"), ("1G", "1G", 1024 ** 3, "1 GB"),
            ("1gb", "1G", 1024 ** 3, "1 GB"), ("02G", "2G", 2 * 1024 ** 3, "2 GB"), ("4096", "4096", 4096, "4096 B"),
        ]:
            with self.subTest(text):
                self.assertEqual(run.canonical_size(text), canonical)
                self.assertEqual(run.parse_size(text), size)
                self.assertEqual(run.size_label(text), label)

    def test_invalid_sizes(self):
        for text in ["", "0", "0K", "G", "-1M", "1.5G", "1T", "1 G", "1KK", "²K"]:
            with self.subTest(text):
                with self.assertRaises(argparse.ArgumentTypeError):
                    run.parse_size(text)

    def test_runs_by_size(self):
        options = argparse.Namespace(warmup=1, runs_small=21, runs=5, runs_large=3, runs_huge=1)
        for size, expected in [("1K", (1, 21)), ("9M", (1, 21)), ("10M", (1, 5)), ("99M", (1, 5)),
                               ("100M", (1, 3)), ("1023M", (1, 3)), ("1G", (0, 1)), ("4G", (0, 1))]:
            with self.subTest(size):
                self.assertEqual(run.runs_for(run.parse_size(size), options), expected)

    def test_java_heap_from_one_gigabyte(self):
        memory_kib = 24 * 1024 ** 2
        for size, given, expected in [
            ("100M", [], []),
            ("1G", [], ["-Xmx18g"]),
            ("1G", ["-Xss4m"], ["-Xss4m", "-Xmx18g"]),
            ("1G", ["-Xmx8g"], ["-Xmx8g"]),
            ("1G", ["-XX:MaxRAMPercentage=90"], ["-XX:MaxRAMPercentage=90"]),
        ]:
            with self.subTest(size=size, given=given):
                self.assertEqual(run.java_options_for(run.parse_size(size), given, memory_kib), expected)

    def test_working_directories_stay_apart(self):
        sheets = [Path("bench/select.xsl"), Path("other/select.xsl"), Path("bench/group.xsl")]
        self.assertEqual(run.case_directory_names(sheets), ["select-1", "select-2", "group"])


class TakingTurns(unittest.TestCase):
    """A run right after the JVM's is slower: no program may get that predecessor more often."""

    def test_each_program_follows_each_other_equally_often(self):
        for names in [["Brendle4", "xsltproc", "Saxon-HE"], ["Brendle4", "Saxon-HE"], ["Brendle4"]]:
            with self.subTest(names=names):
                sequence = [name for round_number in range(12) for name in run.turn_order(names, round_number)]
                self.assertEqual(len(sequence), 12 * len(names))
                for round_number in range(12):
                    self.assertCountEqual(run.turn_order(names, round_number), names)
                pairs = Counter(zip(sequence, sequence[1:]))
                if len(names) == 1:
                    continue
                self.assertFalse([pair for pair in pairs if pair[0] == pair[1]])
                counts = {pairs[(before, after)] for before in names for after in names if before != after}
                # One pair fewer at the very start of the sequence, which has no predecessor.
                self.assertLessEqual(max(counts) - min(counts), 1, pairs)


class MeasuredRunReport(unittest.TestCase):
    def test_reports(self):
        figures = "wall_ns 1500000000\nmaxrss_kib 2048\nminflt 300\nmajflt 2\nutime_us 1\nstime_us 1\n"
        measurement = run.Measurement(1.5, 2048, 300, 2)
        for text, failure, expected in [
            ("exit 0\n" + figures, "", measurement),
            ("exit 3\n" + figures, "exit status 3", measurement),
            ("signal 9\n" + figures, "killed by signal 9", measurement),
            ("error java: No such file or directory\n", "could not start java: No such file or directory", None),
        ]:
            with self.subTest(text):
                self.assertEqual(run.parse_measured_run(text), (failure, expected))

    def test_incomplete_reports(self):
        for text in ["", "exit 0\n", "exit 0\nwall_ns 1\nmaxrss_kib 2\nminflt 3\n",
                     "wall_ns 1\nmaxrss_kib 2\nminflt 3\nmajflt 4\n",
                     "exit x\nwall_ns 1\nmaxrss_kib 2\nminflt 3\nmajflt 4\n"]:
            with self.subTest(text):
                with self.assertRaises(ValueError):
                    run.parse_measured_run(text)


@unittest.skipUnless(os.environ.get("BENCH_MEASURED_RUN"), "BENCH_MEASURED_RUN names no measured_run program")
class MeasuredRun(unittest.TestCase):
    MIB = 1024

    def measure(self, command, timeout=60):
        with tempfile.TemporaryDirectory() as directory:
            logs = Path(directory)
            return run.run_measured(Path(os.environ["BENCH_MEASURED_RUN"]).resolve(), command, directory,
                                    logs / "out", logs / "err", timeout)

    def test_peak_memory_is_the_programs_own(self):
        # This process's high-water mark would be inherited by a child it started directly.
        ballast = b"\1" * (256 << 20)
        failure, small = self.measure(["true"])
        self.assertEqual(failure, "")
        self.assertLess(small.rss_kib, 64 * self.MIB)
        failure, big = self.measure([sys.executable, "-c", "b = b'\\1' * (96 << 20)"])
        self.assertEqual(failure, "")
        self.assertGreaterEqual(big.rss_kib, 96 * self.MIB)
        self.assertLess(big.rss_kib, 160 * self.MIB)
        # Even in 2 MiB pages, 96 MiB of fresh memory takes 48 faults more.
        self.assertGreater(big.minor_faults, small.minor_faults + 48)
        self.assertGreater(big.seconds, 0)
        del ballast

    def test_failures(self):
        for command, expected in [
            (["sh", "-c", "exit 3"], "exit status 3"),
            (["sh", "-c", "kill -KILL $$"], "killed by signal 9"),
            (["no-such-program-for-the-benchmark"], "could not start no-such-program-for-the-benchmark"),
        ]:
            with self.subTest(command):
                failure, _ = self.measure(command)
                self.assertTrue(failure.startswith(expected), failure)

    def test_timeout_ends_the_program(self):
        started = time.monotonic()
        failure, measurement = self.measure(["sleep", "30"], timeout=0.5)
        self.assertEqual((failure, measurement), ("timed out after 0.5 s", None))
        self.assertLess(time.monotonic() - started, 10)


def outcome(*runs, failure="", skipped=""):
    """An outcome with a counted run per (seconds, KiB, minor faults, major faults)."""
    return run.Outcome([run.Measurement(*figures) for figures in runs], failure, skipped)


def case(stylesheet, size, **outcomes):
    """A case whose programs are named by keyword (Saxon_HE for Saxon-HE); the others were not run."""
    result = run.Case(Path("/bench") / stylesheet, size, Path("/runs") / f"{stylesheet}-{size}", books=7)
    for name in run.PROGRAMS:
        result.outcomes[name] = outcomes.get(name.replace("-", "_"), run.Outcome(skipped="not run"))
    return result


def sample_cases():
    return [
        case("select.xsl", "10M",
             Brendle4=outcome((1.0, 20480, 300, 0), (3.0, 20480, 100, 0), (2.0, 30720, 200, 1)),
             xsltproc=outcome((4.0, 10240, 400, 0), (4.0, 10240, 500, 0), (5.0, 10240, 400, 1)),
             Saxon_HE=outcome((1.0, 65536, 8000, 0), failure="exit status 1: java.lang.OutOfMemoryError")),
        case("select.xsl", "1K",
             Brendle4=outcome((0.01, 7168, 250, 0)), xsltproc=outcome((0.01, 6144, 280, 0)),
             Saxon_HE=outcome((0.5, 76800, 15000, 0))),
        case("select.xsl", "100M",
             Brendle4=outcome((20.0, 204800, 2000, 0)), xsltproc=outcome((44.0, 102400, 0, 0)),
             Saxon_HE=outcome((9.0, 716800, 90000, 0))),
        case("group.xsl", "10M", Brendle4=outcome((1.0, 10240, 100, 0)),
             xsltproc=outcome(skipped="skipped: key() is quadratic here (--slow-xsltproc)")),
        case("group.xsl", "100M", Brendle4=outcome((12.0, 102400, 900, 0)), xsltproc=outcome((99.0, 1024, 1, 0))),
    ]


class Figures(unittest.TestCase):
    def test_fault_medians_and_ratios(self):
        cases = sample_cases()
        ten, _, hundred = cases[:3]
        self.assertEqual(run.fault_cell(ten.outcomes["Brendle4"]), "200 / 0")
        self.assertEqual(run.fault_cell(ten.outcomes["xsltproc"]), "400 / 0")
        self.assertEqual(run.fault_cell(ten.outcomes["Saxon-HE"]), "**failed** (exit status 1)")
        self.assertEqual(run.fault_cell(cases[3].outcomes["xsltproc"]),
                         "skipped: key() is quadratic here (--slow-xsltproc)")
        self.assertEqual(run.ratio(ten, "xsltproc", "minor_faults"), "0.5")
        self.assertEqual(run.ratio(ten, "xsltproc", "seconds"), "0.5")
        self.assertEqual(run.ratio(ten, "xsltproc", "rss_kib"), "2")
        self.assertEqual(run.ratio(ten, "Saxon-HE", "minor_faults"), "–")   # its runs failed
        self.assertEqual(run.ratio(hundred, "xsltproc", "minor_faults"), "–")   # no faults to divide by
        self.assertEqual(run.fault_cell(outcome((1.0, 1, 1234567, 12), (1.0, 1, 1234569, 13))), "1,234,568 / 12")

    def test_report_tables(self):
        text = run.report(sample_cases(), META, "not drawn: gnuplot not found (apt-get install gnuplot-nox)")
        self.assertIn("| select.xsl | 10 MB (7 books) | 2.000 s, 20 MiB | 4.000 s, 10 MiB | **failed** (exit status 1) "
                      "| 0.5 | 2 | – | – | – |", text)
        self.assertIn("| select.xsl | 10 MB | 200 / 0 | 400 / 0 | **failed** (exit status 1) | 0.5 | – |", text)
        self.assertIn("| select.xsl | 1 KB | 250 / 0 | 280 / 0 | 15,000 / 0 | 0.893 | 0.0167 |", text)
        self.assertIn("- Plot: not drawn: gnuplot not found", text)
        self.assertIn("- select 10M, Saxon-HE: exit status 1: java.lang.OutOfMemoryError", text)

    def test_growth_from_ten_megabytes(self):
        rows = run.growth_rows(sample_cases())
        self.assertEqual(rows, [
            ("select.xsl", "Brendle4", "10M", "100M", 10.0, 10.0),
            ("select.xsl", "xsltproc", "10M", "100M", 11.0, 10.0),
            ("group.xsl", "Brendle4", "10M", "100M", 12.0, 10.0),
        ])

    def test_plot_panels(self):
        panels = run.plot_panels(sample_cases())
        self.assertEqual([panel.title for panel in panels], [
            "select.xsl: wall time", "select.xsl: peak memory", "select.xsl: minor page faults",
            "group.xsl: wall time", "group.xsl: peak memory", "group.xsl: minor page faults"])
        K, M = 1024, 1024 ** 2
        # Points in size order, whatever the order of the cases; memory in MiB.
        self.assertEqual(panels[1].series, {
            "Brendle4": [(K, 7.0), (10 * M, 20.0), (100 * M, 200.0)],
            "xsltproc": [(K, 6.0), (10 * M, 10.0), (100 * M, 100.0)],
            "Saxon-HE": [(K, 75.0), (100 * M, 700.0)],   # failed at 10 MB
        })
        self.assertEqual(panels[3].series, {"Brendle4": [(10 * M, 1.0), (100 * M, 12.0)],
                                            "xsltproc": [(100 * M, 99.0)]})   # skipped at 10 MB
        self.assertEqual(run.size_tics(sample_cases()), [(K, "1 KB"), (10 * M, "10 MB"), (100 * M, "100 MB")])


META = {"date": "2026-12-10 06:00 UTC", "revision": "abc1234", "machine": "2 CPUs", "load_before": "0.10",
        "load_after": "0.20", "versions": ["xsltproc: x"], "runs": "some", "notes": ["a note"],
        "command": "bench/run.py",
        "stream": {"MemoryStreamWrite": 2.0 * 2 ** 30, "MemcpyIntoReservedBuffer": 2.5 * 2 ** 30}}


class ResultsFile(unittest.TestCase):
    def test_round_trip(self):
        cases = sample_cases()
        cases[0].checks = [("Brendle4 = xsltproc", False, "first difference at byte 9")]
        restored, meta = run.results_from_json(json.loads(json.dumps(run.results_json(cases, META))))
        self.assertEqual(restored, cases)
        self.assertEqual(meta, META)
        self.assertEqual(run.report(restored, meta, "p"), run.report(cases, META, "p"))

    def test_other_files_are_refused(self):
        for data in [[], {}, {"format": 2, "meta": {}, "cases": []}]:
            with self.subTest(data):
                with self.assertRaises(ValueError):
                    run.results_from_json(data)


if __name__ == "__main__":
    unittest.main()
