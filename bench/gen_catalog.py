#!/usr/bin/env python3
"""Writes a book catalogue for the transformation benchmarks.

Usage: gen_catalog.py SIZE OUTPUT

SIZE is the target size in bytes, optionally with a suffix K, M or G (powers of
1024): 1K, 1M, 10M, 100M. OUTPUT is the file to write, or "-" for standard output.

The catalogue is UTF-8: a <catalog> of <book id="..."> elements, each holding
author, title, genre, price, publish_date and description. Books are appended
while the file stays within SIZE (at least one book is always written). The
random sequence has a fixed seed and does not depend on SIZE, so a smaller
catalogue holds exactly the first books of a larger one and the same SIZE always
gives the same bytes. Genres are few on purpose: grouping stylesheets then meet
groups that grow with the document. Standard library only.
"""

import random
import sys

SEED = 7919

GIVEN = ["Aurélie", "Bartosz", "Céline", "Dagný", "Émile", "Fañch", "Gösta",
         "Håkon", "Iñaki", "Jiří", "Katalin", "Łukasz", "Maëlle", "Nikolaï",
         "Oda", "Pål", "Rüdiger", "Siobhán", "Thérèse", "Uxía", "Vašek",
         "Wojciech", "Yusuf", "Zsófia", "Ana", "Kenji", "Mei", "Oluwaseun",
         "Sven", "Ève"]
FAMILY = ["Åberg", "Bénard", "Čapek", "Dąbrowski", "Eichhörnchen", "Fjällström",
          "Gálvez", "Hüttner", "Ibsen", "Jóhannsdóttir", "Kovač", "Lindgren",
          "Mäkinen", "Nørgaard", "Ó Súilleabháin", "Petőfi", "Quiñones",
          "Rønning", "Sánchez", "Tőkés", "Urquhart", "Väisänen", "Wróbel",
          "Yılmaz", "Żukowski", "Adeyemi", "Baptiste", "Chen", "D'Arcy", "Ellis"]
GENRES = ["Adventure", "Computing", "Cookery", "Drama", "Essays", "Fantasy",
          "Horror", "Romance", "Science", "Western"]
OPENING = ["The", "A", "Beyond the", "Under the", "Notes on the", "Return of the",
           "Songs of the", "Inside the", "After the", "Letters from the"]
QUALITY = ["Pale", "Northern", "Lost", "Hollow", "Crystal", "Restless",
           "Seventh", "Lonely", "Scarlet", "Fallen", "Copper", "Curious",
           "Déjà-vu", "Über", "Tranquil", "Bitter"]
THING = ["Lighthouse", "Parser", "Citadel", "River", "Tapestry", "Meridian",
         "Stylesheet", "Fjord", "Crossroads", "Kernel", "Atelier", "Monastery",
         "Sonnet", "Bazaar", "Glacier", "Hôtel", "Manifesto", "Tundra"]
THEME = ["a retired clockmaker &amp; her apprentice", "the last train to Kraków",
         "memory, loss and the sea", "a compiler that dreams",
         "three sisters in Reykjavík", "the café where everyone lies",
         "a map with no north", "parsing the unparseable",
         "a crêperie at the edge of the world", "what the river remembers",
         "trust &amp; betrayal in a small town", "the winter of the long storms",
         "an unfinished symphony", "a detective who hates puzzles",
         "the mathematics of the ordinary"]
FRAME = ["A novel about", "A study of", "Short stories on", "A memoir of",
         "Reflections on", "An illustrated history of", "A handbook on",
         "A comedy about", "Poems about", "A journey through"]
CODA = ["", "", "", " Second edition.", " With a foreword by the author.",
        " Winner of a regional prize.", " Includes an index &amp; notes.",
        " Out of print for decades."]

HEADER = '<?xml version="1.0" encoding="UTF-8"?>\n<catalog>\n'
FOOTER = '</catalog>\n'


def parse_size(text):
    units = {"K": 1024, "M": 1024 ** 2, "G": 1024 ** 3}
    text = text.strip().upper()
    factor = 1
    if text and text[-1] in units:
        factor = units[text[-1]]
        text = text[:-1]
    value = int(text) * factor
    if value <= 0:
        raise ValueError("size must be positive")
    return value


def books(rng):
    number = 0
    while True:
        number += 1
        author = f"{rng.choice(FAMILY)}, {rng.choice(GIVEN)}"
        title = f"{rng.choice(OPENING)} {rng.choice(QUALITY)} {rng.choice(THING)}"
        genre = rng.choice(GENRES)
        # Cents from 2.00 to 69.99: roughly half of the books fall under 35.
        cents = rng.randrange(200, 7000)
        date = f"{rng.randrange(1950, 2025)}-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d}"
        sentences = " ".join(f"{rng.choice(FRAME)} {rng.choice(THEME)}."
                             for _ in range(rng.randrange(1, 4)))
        description = sentences + rng.choice(CODA)
        yield (f'  <book id="bk{number:07d}">\n'
               f'    <author>{author}</author>\n'
               f'    <title>{title}</title>\n'
               f'    <genre>{genre}</genre>\n'
               f'    <price>{cents // 100}.{cents % 100:02d}</price>\n'
               f'    <publish_date>{date}</publish_date>\n'
               f'    <description>{description}</description>\n'
               f'  </book>\n').encode("utf-8")


def write_catalog(size, out):
    budget = size - len(HEADER.encode()) - len(FOOTER.encode())
    out.write(HEADER.encode())
    pending = []
    pending_bytes = 0
    written_any = False
    for book in books(random.Random(SEED)):
        if written_any and len(book) > budget:
            break
        pending.append(book)
        pending_bytes += len(book)
        budget -= len(book)
        written_any = True
        if pending_bytes >= 1 << 20:
            out.write(b"".join(pending))
            pending.clear()
            pending_bytes = 0
    out.write(b"".join(pending))
    out.write(FOOTER.encode())


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    try:
        size = parse_size(argv[1])
    except ValueError as error:
        sys.stderr.write(f"gen_catalog.py: bad size {argv[1]!r}: {error}\n")
        return 2
    if argv[2] == "-":
        write_catalog(size, sys.stdout.buffer)
    else:
        with open(argv[2], "wb") as out:
            write_catalog(size, out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
