"""The README runs as printed: every Python block, and the summary shown for ``quelta``.

Python blocks in doctest form (``>>>`` prompts) have their shown outputs
checked; a block without prompts must run without an error. Each block runs
in a namespace of its own, so it defines its inputs and imports what it uses.
"""

import doctest
import re
from pathlib import Path

import pytest

from quelta import cli

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"


def fenced_blocks(text):
    """(language, first line number, body) of every fenced block of the text."""
    for m in re.finditer(r"^```(\w*)\n(.*?)^```$", text, re.M | re.S):
        yield m.group(1), text.count("\n", 0, m.start(2)) + 1, m.group(2)


def python_blocks():
    for lang, line, body in fenced_blocks(README.read_text(encoding="utf-8")):
        if lang == "python":
            yield pytest.param(line, body, id=f"README.md:{line}")


@pytest.mark.parametrize(("line", "body"), list(python_blocks()))
def test_python_block_runs_as_printed(line, body):
    name = f"README.md:{line}"
    # A block that shows an optional extra (pyarrow, Dask, ...) runs where it is installed.
    for module in re.findall(r"^(?:>>> )?(?:import|from) (\w+)", body, re.M):
        pytest.importorskip(module)
    test = doctest.DocTestParser().get_doctest(
        body, {"__name__": "__readme__"}, name, str(README), line - 1
    )
    if not test.examples:
        exec(compile(body, name, "exec"), {"__name__": "__readme__"})
        return
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


def run_it_section():
    text = README.read_text(encoding="utf-8")
    section = re.search(r"^## Run it\n(.*?)(?=^## |\Z)", text, re.M | re.S)
    assert section, "README.md has no Run it section"
    return list(fenced_blocks(section.group(1)))


def varying_parts_blanked(summary):
    """The summary without what differs between runs: the book's path, times and rates."""
    summary = re.sub(r"^(book: sample book) \(.*\)$", r"\1 (...)", summary, flags=re.M)
    return re.sub(
        r"^time: .*$", lambda m: re.sub(r"\d[\d.,]*", "#", m.group()), summary, flags=re.M
    )


def test_run_it_shows_what_the_command_prints(capsys):
    pytest.importorskip("pyarrow")  # the command reads books through pyarrow
    blocks = run_it_section()
    assert [lang for lang, _, _ in blocks[:3]] == ["sh", "", "sh"]
    assert blocks[0][2].rstrip().endswith("quelta")
    assert cli.main([]) == 0
    printed, err = capsys.readouterr()
    assert err == ""
    assert varying_parts_blanked(blocks[1][2]) == varying_parts_blanked(printed)
    # CI runs the README's test command as printed.
    assert blocks[2][2] in (ROOT / ".ci" / "run").read_text(encoding="utf-8")
