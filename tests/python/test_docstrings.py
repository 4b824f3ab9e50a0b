"""The public functions' documentation: numpydoc sections, and examples that run as written."""
import doctest
import pathlib

import pytest

import sorvik

SECTIONS = ("Parameters", "Returns", "Raises", "Examples")


def public_functions():
    functions = [("sorvik." + name, getattr(sorvik, name)) for name in sorvik.__all__
                 if callable(getattr(sorvik, name))]
    try:
        import sorvik.dask as sd
    except ImportError:  # Dask is optional; its tests skip the same way
        return functions
    return functions + [("sorvik.dask." + name, getattr(sd, name)) for name in sd.__all__
                        if callable(getattr(sd, name))]


FUNCTIONS = public_functions()


def test_every_public_name_is_covered():
    # A public function added later without a docstring would otherwise slip by.
    names = {name for name, _ in FUNCTIONS}
    assert {"sorvik.denoise", "sorvik.estimate_sigma", "sorvik.wiener", "sorvik.basic_estimate",
            "sorvik.kaiser_window"} <= names


@pytest.mark.parametrize("name,function", FUNCTIONS, ids=[n for n, _ in FUNCTIONS])
def test_docstring_has_numpydoc_sections_in_order(name, function):
    doc = function.__doc__ or ""
    places = []
    for section in SECTIONS:
        heading = section + "\n" + "-" * len(section)
        # pybind11 indents nothing; Python docstrings are indented by four.
        lines = [line.strip() for line in doc.splitlines()]
        text = "\n".join(lines)
        assert heading in text, f"{name}: no '{section}' section"
        places.append(text.index(heading))
    assert places == sorted(places), f"{name}: sections out of order"


@pytest.mark.parametrize("name,function", FUNCTIONS, ids=[n for n, _ in FUNCTIONS])
def test_docstring_examples_run(name, function):
    parser = doctest.DocTestParser()
    test = parser.get_doctest(function.__doc__ or "", {}, name, None, 0)
    assert test.examples, f"{name}: no examples"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


def test_version_is_the_one_in_the_version_file():
    written = (pathlib.Path(__file__).resolve().parents[2] / "VERSION").read_text().strip()
    assert sorvik.__version__ == written
