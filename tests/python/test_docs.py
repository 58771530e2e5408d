"""Every `>>>` example in the README and the API reference runs, and prints what the text says."""

import doctest
import re

import pytest

from conftest import ROOT

DOCS = ["README.md", "docs/API.md"]

FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```[ \t]*$", re.M | re.S)


def examples(text):
    """The text with everything but the fenced python blocks blanked out, line for line.

    Blanking keeps doctest's line numbers equal to the file's, and the blank line left by each
    closing fence ends the expected output of the block's last example.
    """
    out = ["\n"] * text.count("\n")
    for m in FENCE.finditer(text):
        if m.group(1) not in ("python", "pycon"):
            continue
        first = text.count("\n", 0, m.start(2))
        for i, line in enumerate(m.group(2).split("\n")[:-1]):
            out[first + i] = line + "\n"
    return "".join(out)


@pytest.mark.parametrize("name", DOCS)
def test_examples_in(name):
    text = (ROOT / name).read_text(encoding="utf-8")
    silent = [m.group(2)[:60] for m in FENCE.finditer(text)
              if m.group(1) in ("python", "pycon") and ">>> " not in m.group(2)]
    assert not silent, f"python blocks of {name} that would not run: {silent}"
    source = examples(text)
    test = doctest.DocTestParser().get_doctest(source, {}, name, str(ROOT / name), 0)
    assert test.examples, f"{name} has no examples"
    # One namespace per file: later examples may use what earlier ones made.
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append)
    result = runner.summarize(verbose=False)
    assert result.failed == 0, "".join(report)


def test_reference_has_a_section_for_every_method():
    import kelo_frame

    headings = re.findall(r"^#{2,3} (.*)$", (ROOT / "docs/API.md").read_text(encoding="utf-8"), re.M)
    public = [("read_csv", kelo_frame.read_csv)] + [
        (name, getattr(cls, name))
        for cls in (kelo_frame.Frame, kelo_frame.Grouped)
        for name in vars(cls) if not name.startswith("_")
    ]
    for name, obj in public:
        params = obj.__text_signature__.strip("()").replace("$self", "").replace("$type", "").strip(", ")
        assert any(re.search(rf"\b{name}\b", h) and f"({params})" in h for h in headings), \
            f"no section shows {name}({params})"
