"""The demo: tokenizes Debian's fortune corpus and shows what the index would be keyed by."""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))

import fortunes  # noqa: E402
import halcyra  # noqa: E402


def show_keys(text, gram_size=3):
    keys = halcyra.tokenize(text, gram_size)
    shown = []
    for k in keys[:8]:
        if k < 1 << 24 and gram_size == 3:
            shown.append(f"{k:#08x} '{k.to_bytes(3, 'big').decode()}'")
        else:
            shown.append(f"{k:#018x}")
    print(f"  tokenize({text!r}) -> {len(keys)} keys: " + ", ".join(shown) + (" ..." if len(keys) > 8 else ""))


def main():
    print("halcyra exports:", ", ".join(halcyra.__all__))
    print()
    print("N-gram keys (ASCII trigrams are packed bytes; other windows are hashed):")
    for text in ["Hello, World!", "e-mail", "Straße", "жук"]:
        show_keys(text)
    print()
    for label, directory in [("English", fortunes.ENGLISH), ("Russian", fortunes.RUSSIAN)]:
        docs = fortunes.load(directory)
        if not docs:
            print(f"{label}: no fortune files in {directory}")
            continue
        size = sum(len(t.encode()) for _, t in docs)
        start = time.perf_counter()
        distinct = set()
        for _, text in docs:
            distinct.update(halcyra.tokenize(text))
        secs = time.perf_counter() - start
        print(f"{label} fortunes: {len(docs)} documents, {size / 1e6:.2f} MB, "
              f"{len(distinct)} distinct trigram keys, tokenized in {secs:.2f} s")


if __name__ == "__main__":
    main()
