#!/usr/bin/env python3
"""Checks of the benchmark's result comparison: a comparison that passes wrong
results would make every figure of the benchmark meaningless."""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402


class Files:
    def __init__(self):
        self.directory = tempfile.TemporaryDirectory()
        self.count = 0

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


if __name__ == "__main__":
    unittest.main()
