import inspect
import shutil
import subprocess

import pytest

import halcyra

# Registration order of the module's contents; later names join as their
# classes are built.
REGISTERED = [
    "Builder", "BuildStats", "VectorBuilder", "VectorBuildStats", "tokenize", "write_hyvi_from_faiss",
    "write_term_index", "TermBuilder", "SplitSetBuilder", "TermSplitSetBuilder", "SplitSetBuildStats",
    "SplitSetWriter",
]

STATS = {
    "BuildStats": (
        "Summary of a completed build, returned by [`Builder::build`].",
        {
            "docs": "Number of records written.",
            "ngrams": "Number of distinct n-gram keys in the text index.",
            "fields": "Number of facet fields written.",
        },
    ),
    "VectorBuildStats": (
        "Summary of a completed vector-index build, returned by [`VectorBuilder::build`].",
        {
            "vectors": "Number of vectors indexed.",
            "dim": "Vector dimensionality.",
            "nlist": "Coarse (IVF) clusters actually trained (clamped to the vector count).",
            "m": "PQ subquantizers.",
            "nbits": "Bits per PQ code.",
        },
    ),
    "SplitSetBuildStats": (
        "Summary of a completed split-set build, returned by [`SplitSetBuilder::build`].",
        {
            "splits": "Number of splits written.",
            "docs": "Number of documents indexed.",
            "total_bytes": "Total bytes across every split file.",
        },
    ),
}


def test_contents_in_registration_order():
    assert halcyra.__all__ == REGISTERED
    assert halcyra.__doc__ == ""
    for name in REGISTERED:
        assert getattr(halcyra, name).__module__ == "halcyra"


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", halcyra.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_halcyra"]


@pytest.mark.parametrize("name", sorted(STATS))
def test_stats_classes(name):
    cls = getattr(halcyra, name)
    doc, fields = STATS[name]
    assert cls.__doc__ == doc
    for field, field_doc in fields.items():
        assert getattr(cls, field).__doc__ == field_doc
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == "No constructor defined for " + name
    with pytest.raises(TypeError):
        cls(docs=1)
    with pytest.raises(TypeError):
        cls.extra = 1  # the classes are immutable


def test_tokenize_signature_and_doc():
    assert str(inspect.signature(halcyra.tokenize)) == "(text, gram_size=3)"
    assert halcyra.tokenize.__doc__ == (
        "Returns the deduplicated n-gram keys `text` tokenizes into \u2014 the same keys the\n"
        "index is built from and the reader queries with. Handy for debugging matches."
    )
