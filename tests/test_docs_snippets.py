"""Every Python snippet of the README and of docs/ runs as written.

Each ```python fence, and each `python -c '...'` line of a shell fence, runs in
a fresh interpreter with the cartridge variables set. A snippet that needs
PyTorch, Stable-Baselines3, Ray or minutes of work carries, on the line before
its fence, a marker that names the reason it is not run here:

    <!-- snippet: skip (needs PyTorch; run by scripts/run-examples) -->
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
MARKER = re.compile(r"<!-- snippet: skip \((?P<reason>[^()]*\S[^()]*)\) -->")
FENCE = re.compile(r"^(?P<indent> *)```(?P<lang>\S*)\s*$")
PYTHON_C = re.compile(r"python3? -c '(?P<code>[^']*)'")
SECONDS = 120  # each snippet takes a few seconds; this only stops a hung one


def fences(page):
    """(line number of the opening fence, language, body, line before the fence) of every fence."""
    lines = page.read_text().splitlines()
    found, i = [], 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if opening:
            end = next((j for j in range(i + 1, len(lines)) if lines[j].lstrip().startswith("```")), None)
            if end is None or lines[end].strip() != "```":
                raise AssertionError(f"{page.name}:{i + 1}: a code fence is opened and never closed")
            body = "\n".join(line[len(opening["indent"]) :] for line in lines[i + 1 : end])
            found.append((i + 1, opening["lang"], body, lines[i - 1] if i else ""))
            i = end
        i += 1
    return found


def snippets():
    """pytest parameters: every Python snippet, the skip-marked ones marked as skipped with their reason."""
    params = []
    for page in PAGES:
        name = page.relative_to(ROOT).as_posix()
        try:
            page_fences = fences(page)
        except AssertionError:
            continue  # the test below reports the fence left open
        for line, lang, body, before in page_fences:
            marker = MARKER.fullmatch(before.strip())
            if lang == "python":
                marks = [pytest.mark.skip(reason=marker["reason"])] if marker else []
                params.append(pytest.param(body, id=f"{name}:{line}", marks=marks))
            elif lang == "sh":
                for number, code in enumerate(PYTHON_C.findall(body)):
                    params.append(pytest.param(code, id=f"{name}:{line}:python-c-{number}"))
    return params


def test_every_fence_is_closed_and_every_marker_names_its_reason():
    problems = []
    for page in PAGES:
        lines = page.read_text().splitlines()
        fences(page)  # raises on a fence left open
        for i, text in enumerate(lines):
            if "snippet:" not in text:
                continue
            where = f"{page.name}:{i + 1}"
            if not MARKER.fullmatch(text.strip()):
                problems.append(f"{where}: a marker must read <!-- snippet: skip (the reason) -->: {text.strip()}")
            elif i + 1 >= len(lines) or lines[i + 1].strip() != "```python":
                problems.append(f"{where}: a marker must stand on the line before a ```python fence")
    assert problems == []


def test_snippets_are_found():
    # A change in the fences' syntax must not make the test below run nothing.
    ids = [p.id for p in snippets()]
    assert any(i.startswith("README.md:") for i in ids) and any(i.startswith("docs/") for i in ids)
    assert any(":python-c-" in i for i in ids), "the quick start's python -c line"


@pytest.mark.parametrize("code", snippets())
def test_snippet_runs(code, rom_path, states_dir, tmp_path):
    pytest.importorskip("gymnasium", reason="the snippets use the Gymnasium class: pip install '.[gym]'")
    env = dict(os.environ, TANUVEX_TURBO_ROM=str(rom_path), TANUVEX_TURBO_STATES=str(states_dir))
    # A snippet runs in an empty folder, as a reader's would; what it writes stays there.
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=SECONDS
    )
    assert result.returncode == 0, f"{code}\n--- stderr:\n{result.stderr}"
