"""Every Python sample in the README runs and prints what the README shows.

A sample shows output as a comment on the line that prints it:

    print(len(m))  # -> 3

Each sample runs on its own, in a fresh namespace, as a reader would paste
it; its printed lines must be exactly the shown ones, in order.  Each also
passes mypy --strict against the module's stubs (when mypy is installed),
as a reader's typed code would.
"""

import contextlib
import io
import os
import re

import pytest

import quorvel
from conftest import type_check

README = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "README.md")
SAMPLE = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)
SHOWN = re.compile(r"#\s*->\s?(.*)$")

with open(README, encoding="utf-8") as f:
    SAMPLES = SAMPLE.findall(f.read())


def test_the_readme_has_samples():
    assert len(SAMPLES) >= 6


@pytest.mark.parametrize("index", range(len(SAMPLES)))
def test_sample_prints_what_it_shows(index):
    source = SAMPLES[index]
    lines = source.splitlines()
    shown = [m.group(1) for line in lines if (m := SHOWN.search(line))]
    # Every print shows its output, and only prints show output.
    assert len(shown) == sum("print(" in line for line in lines)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(source, f"README.md, sample {index + 1}", "exec"), {"__name__": "readme_sample"})
    assert out.getvalue().splitlines() == shown


# Samples that mypy --strict rejects for want of annotations of their own (a
# map built empty, a list, a function), not because of the stubs.  Strict, so
# that the mark must go once the samples are annotated.
@pytest.fixture(scope="module")
def type_errors(tmp_path_factory):
    """The error lines of mypy --strict for each sample, by index."""
    folder = tmp_path_factory.mktemp("readme")
    files = []
    for index, source in enumerate(SAMPLES):
        files.append(f"sample_{index + 1}.py")
        (folder / files[-1]).write_text(source)
    report = type_check(folder, *files, MYPYPATH=os.path.dirname(quorvel.__file__))
    return [re.findall(rf"^{name}:\d+: error:.*$", report, re.MULTILINE) for name in files]


@pytest.mark.parametrize("index", range(len(SAMPLES)))
def test_sample_passes_the_type_checker(index, type_errors):
    assert type_errors[index] == []
