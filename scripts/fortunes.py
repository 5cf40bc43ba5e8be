"""Reads the Debian fortune files: documents separated by lines holding a single '%'."""

import os

ENGLISH = "/usr/share/games/fortunes"
RUSSIAN = "/usr/share/games/fortunes/ru"
GERMAN = "/usr/share/games/fortunes/de"
SPANISH = "/usr/share/games/fortunes/es"
ITALIAN = "/usr/share/games/fortunes/it"


def load(directory):
    """Every document of every fortune file directly inside `directory`, as (file, text)."""
    docs = []
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        if name.endswith((".dat", ".u8")) or os.path.islink(path) or not os.path.isfile(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            doc = []
            for line in f:
                if line.rstrip("\n") == "%":
                    if doc:
                        docs.append((name, "".join(doc)))
                    doc = []
                else:
                    doc.append(line)
            if doc:
                docs.append((name, "".join(doc)))
    return docs
