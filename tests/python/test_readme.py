"""The README's examples run as written.

Python blocks whose lines start with ``>>>`` form one interactive session, checked by doctest in
the order they appear; other Python blocks run on their own. A comment on the line before a
block adjusts this, with clauses separated by ";":

- ``<!-- readme-test: skip (why) -->``: not run (it needs a cluster, or the user's files);
- ``<!-- readme-test: needs pandas scipy -->``: skipped when one of these is not installed;
- ``<!-- readme-test: shell -->``: a shell block whose ``vorn`` commands are run, beside a
  ``data.csv`` holding the Nile series with the columns ``year`` and ``flow``.
"""

from __future__ import annotations

import doctest
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from vorn import datasets

README = Path(__file__).resolve().parents[2] / "README.md"
_BLOCK = re.compile(
    r"(?:<!-- readme-test: (?P<marker>[^\n]*?) -->\n)?```(?P<lang>\w*)\n(?P<code>.*?)```",
    re.DOTALL,
)


def _blocks():
    found = []
    for match in _BLOCK.finditer(README.read_text(encoding="utf-8")):
        clauses = [c.strip() for c in (match["marker"] or "").split(";") if c.strip()]
        line = README.read_text(encoding="utf-8").count("\n", 0, match.start("code")) + 1
        found.append((line, match["lang"], match["code"], clauses))
    return found


BLOCKS = _blocks()


def _needs(clauses):
    for clause in clauses:
        if clause.startswith("skip"):
            pytest.skip(f"README says: {clause}")
        if clause.startswith("needs "):
            for module in clause.split()[1:]:
                pytest.importorskip(module)


def _session():
    return [(line, code, clauses) for line, lang, code, clauses in BLOCKS
            if lang == "python" and code.lstrip().startswith(">>>")]


def _scripts():
    return [pytest.param(code, clauses, id=f"line{line}") for line, lang, code, clauses in BLOCKS
            if lang == "python" and not code.lstrip().startswith(">>>")]


def _shell():
    return [pytest.param(code, clauses, id=f"line{line}") for line, lang, code, clauses in BLOCKS
            if lang == "sh" and "shell" in clauses]


def test_the_readme_has_examples_of_every_kind():
    assert len(_session()) >= 3 and len(_scripts()) >= 2 and len(_shell()) == 1


@pytest.mark.multiprocess  # the fit_many example starts a process pool
def test_interactive_examples(monkeypatch):
    monkeypatch.setenv("MPLBACKEND", "Agg")
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    parser = doctest.DocTestParser()
    namespace: dict = {}
    ran = 0
    for line, code, clauses in _session():
        missing = [m for c in clauses if c.startswith("needs ") for m in c.split()[1:]
                   if _absent(m)]
        if any(c.startswith("skip") for c in clauses) or missing:
            continue
        test = parser.get_doctest(code, namespace, f"README.md line {line}", str(README), line)
        runner.run(test, clear_globs=False)
        namespace = test.globs  # a DocTest works on a copy: carry its names to the next block
        ran += 1
    assert ran >= 3
    assert runner.failures == 0, f"{runner.failures} README example(s) printed something else"


def _absent(module):
    try:
        __import__(module)
    except ImportError:
        return True
    return False


# A script's `print(...)   # what: output` states what the line prints; nothing else prints.
_STATED = re.compile(r"^print\(.*\)\s+# [^:]*: (?P<output>.*)$", re.MULTILINE)


@pytest.mark.parametrize("code, clauses", _scripts())
def test_script_examples(code, clauses, monkeypatch, tmp_path, capsys):
    _needs(clauses)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    monkeypatch.chdir(tmp_path)
    exec(compile(code, str(README), "exec"), {"__name__": "__readme__"})
    printed = capsys.readouterr().out.splitlines()
    stated = [m["output"] for m in _STATED.finditer(code)]
    assert printed == stated


@pytest.mark.parametrize("code, clauses", _shell())
def test_shell_examples(code, clauses, tmp_path):
    _needs(clauses)
    years, flow, _ = datasets.nile()
    rows = [f"{int(a)},{b:g}" for a, b in zip(years, flow)]
    (tmp_path / "data.csv").write_text("year,flow\n" + "\n".join(rows) + "\n")
    commands = [part.strip() for raw in code.splitlines()
                for part in raw.split("#", 1)[0].split(";") if part.strip()]
    assert commands and all(c.startswith("vorn") for c in commands)
    for command in commands:
        args = shlex.split(command)[1:]
        result = subprocess.run([sys.executable, "-m", "vorn", *args], cwd=tmp_path,
                                capture_output=True, text=True, timeout=300,
                                env={"MPLBACKEND": "Agg", "PATH": "/usr/bin:/bin"})
        assert result.returncode == 0, f"{command}: {result.stderr}"
    assert (tmp_path / "fitted.csv").read_text().count("\n") == 1 + len(rows)
    assert (tmp_path / "demo.png").exists() and (tmp_path / "fit.png").exists()
