"""Every Python snippet of the README and of docs/ runs as written, and gives what its comments promise.

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
GAME_VALUES = sorted("coins level_hi level_lo lives score scrolling time x_pos xscroll_hi xscroll_lo".split())

# What the comments of the snippets promise (a comment, as written after its "#"), checked after
# the snippet that holds it, in the same interpreter.
PROMISES = {
    "8 lanes from the start state 1-1": 'assert env.num_envs == 8 and {*info["level_hi"], *info["level_lo"]} == {0}',
    "obs: uint8 (8, 4, 84, 84)": 'assert str(obs.dtype) == "uint8" and obs.shape == (8, 4, 84, 84), obs.shape',
    "the ten game values, one entry per lane": (
        f"assert sorted(k for k in info if not k.startswith('_')) == {GAME_VALUES}\n"
        "assert {len(values) for values in info.values()} == {8}"
    ),
    "lives [-1 2], then [2 2]: reset": (
        'assert terminated[0] and list(info["final_info"]["lives"]) == [-1, 2] and list(info["lives"]) == [2, 2]'
    ),
    "the first 32 lanes to finish": "assert len(obs) == len(env_ids) == len(set(env_ids)) == 32",
    "(8, 4, 84, 84)": "assert obs.shape == (8, 4, 84, 84)",
    "the start states of $TANUVEX_TURBO_STATES": (
        "import pathlib\n"
        'names = sorted(p.stem for p in pathlib.Path(os.environ["TANUVEX_TURBO_STATES"]).glob("*.state"))\n'
        "assert sorted(env.state_names) == names, env.state_names"
    ),
    "[3 3 0 0] [0 0 0 0]: lanes 0 and 1 are in 4-1": (
        'assert list(info["level_hi"]) == [3, 3, 0, 0] and list(info["level_lo"]) == [0, 0, 0, 0]'
    ),
    "[ True  True False False]: the lanes reset": 'assert list(info["_x_pos"]) == [True, True, False, False]',
    "a few KB each": "assert all(1000 <= len(blob) < 10_000 for blob in saved), [len(blob) for blob in saved]",
    "a budget of lane steps; this search needs 81,535": "assert result.reached and result.steps == 81_535",
    "(2, 38, 32): each lane's newest slot": "assert newest.shape == (2, 38, 32) and grid.shape == (2, 30, 32)",
    "1-1.state": 'assert os.listdir(folder) == ["1-1.state"]',
    "[0] [400] [40] for both": (
        "for env in (saved, stored):\n"
        "    _, info = env.reset()\n"
        '    assert [list(info[k]) for k in ("level_lo", "time", "x_pos")] == [[0], [400], [40]]'
    ),
    "steps 0, 25, 50, ...": 'assert [s.step for s in starts.of_level("1-1")][:3] == [0, 25, 50]',
    'DemoStarts.load("1-1.starts") reads them back': (
        'assert DemoStarts.load("1-1.starts").of_level("1-1") == starts.of_level("1-1")'
    ),
}


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


def promised(code):
    """The checks of the promises made by the comments of ``code``."""
    comments = {line.split("#", 1)[1].strip() for line in code.splitlines() if "#" in line}
    return [check for comment, check in PROMISES.items() if comment in comments]


def test_snippets_are_found_with_their_promises():
    # A change in the fences' syntax must not make the test below run nothing.
    found = snippets()
    ids = [p.id for p in found]
    assert any(i.startswith("README.md:") for i in ids) and any(i.startswith("docs/") for i in ids)
    assert any(":python-c-" in i for i in ids), "the quick start's python -c line"
    kept = [check for p in found if not p.marks for check in promised(p.values[0])]
    assert set(kept) == set(PROMISES.values()), "a promise whose comment no snippet holds any longer"


@pytest.mark.parametrize("code", snippets())
def test_snippet_runs(code, rom_path, states_dir, tmp_path):
    pytest.importorskip("gymnasium", reason="the snippets use the Gymnasium class: pip install '.[gym]'")
    env = dict(os.environ, TANUVEX_TURBO_ROM=str(rom_path), TANUVEX_TURBO_STATES=str(states_dir))
    # A snippet runs in an empty folder, as a reader's would; what it writes stays there.
    checked = "\n".join([code, "import os", *promised(code)])
    result = subprocess.run(
        [sys.executable, "-c", checked], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=SECONDS
    )
    assert result.returncode == 0, f"{code}\n--- stderr:\n{result.stderr}"
