#!/usr/bin/python3
"""Reads a machine-readable Debian copyright file for scripts/sbom.sh, with python3-debian.

  debian_copyright.py field FILE PATTERN FIELD   the Copyright or License (its first line) of the
                                                 paragraph whose Files is PATTERN alone, as written
  debian_copyright.py licences FILE PREFIX...    the licence names of the paragraphs with a Files
                                                 pattern that is a PREFIX ("*": the catch-all) or
                                                 begins with one, a line each, sorted
  debian_copyright.py text FILE NAME             the text of the licence NAME, from the first
                                                 paragraph that holds it

Continuation lines of a Copyright field are joined with ", ". A licence expression's "and" and
"or" split it into its names. Tests and the profiling start-up code (linked only with -pg) are
not part of a program, so their paragraphs are passed over.
"""
import re
import sys

from debian.copyright import Copyright


def read(path):
    with open(path, encoding="utf-8") as f:
        return Copyright(f, strict=False)


def field(path, pattern, name):
    try:
        copyright = read(path)
    except OSError:
        return ""
    for paragraph in copyright.all_files_paragraphs():
        if paragraph.files != (pattern,):
            continue
        if name == "License":
            return paragraph.license.synopsis if paragraph.license else ""
        lines = [line.strip() for line in (paragraph.copyright or "").splitlines()]
        return ", ".join(line for line in lines if line)
    return ""


def licences(path, prefixes):
    names = set()
    for paragraph in read(path).all_files_paragraphs():
        if paragraph.license is None:
            continue
        patterns = [p for p in paragraph.files if not re.search(r"tests|/profile/", p)]
        if any(p == prefix or (prefix != "*" and p.startswith(prefix))
               for p in patterns for prefix in prefixes):
            names.update(re.split(r" (?:and|or) ", paragraph.license.synopsis.strip()))
    return sorted(names)


def text(path, name):
    # The first paragraph, in the file's order, that names the licence and holds its text: a
    # stand-alone licence paragraph, or a files paragraph that carries its own.
    for paragraph in read(path).all_paragraphs():
        licence = getattr(paragraph, "license", None)
        if licence is not None and licence.synopsis.strip() == name and licence.text:
            return licence.text
    return ""


def main(argv):
    if len(argv) >= 4 and argv[0] == "field":
        print(field(argv[1], argv[2], argv[3]))
    elif len(argv) >= 3 and argv[0] == "licences":
        for name in licences(argv[1], argv[2:]):
            print(name)
    elif len(argv) == 3 and argv[0] == "text":
        licence = text(argv[1], argv[2])
        sys.stdout.write(licence + "\n" if licence else "")
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
