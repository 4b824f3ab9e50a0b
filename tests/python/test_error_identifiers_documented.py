"""Every identifier a MEX entry raises is in its help file and in the Octave/MATLAB reference.

A new error identifier in host/ that the documentation does not list is
one a user cannot look up; this catches the drift where it starts.
"""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
IDENTIFIER = re.compile(r'"(sorvik:[A-Za-z]+)"')


def raised(source):
    return sorted(set(IDENTIFIER.findall((ROOT / "host" / source).read_text())))


@pytest.mark.parametrize("source,help_file", [("sorvik.cpp", "sorvik.m"),
                                              ("sorvik_denoise.cpp", "sorvik_denoise.m")])
def test_help_file_and_reference_list_every_identifier(source, help_file):
    identifiers = raised(source)
    assert identifiers, f"no identifiers found in host/{source}"
    help_text = (ROOT / "octave" / help_file).read_text()
    reference = (ROOT / "docs" / "matlab-octave.md").read_text()
    assert [i for i in identifiers if i not in help_text] == [], f"missing from octave/{help_file}"
    assert [i for i in identifiers if f"`{i}`" not in reference] == [], "missing from docs/matlab-octave.md"
