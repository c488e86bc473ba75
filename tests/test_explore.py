"""Archive exploration finds the end of a level, resumes from its saved archive,
gives the same result on Ray actors, and its replay files play back."""

from __future__ import annotations

import json
import os
import pathlib
import signal

import pytest

from tanuvex_turbo import explore, replay
from tanuvex_turbo.cli import main
from tanuvex_turbo.explore_cli import EXIT_NOT_REACHED

DATA = pathlib.Path(__file__).parent / "data"


def search(rom_path, states_dir, start, **kwargs):
    result, _ = explore.explore(rom_path, start=start, target="level", states=states_dir, seed=0, **kwargs)
    return result


def test_search_finishes_the_first_level_and_its_replay_plays_back(rom_path, states_dir):
    result = search(rom_path, states_dir, "1-1", lanes=32, max_steps=250_000)
    assert result.reached and result.steps <= 250_000
    assert [name for name, _, _ in result.levels_passed] == ["1-1"]
    text = replay.format_replay(result.replay)
    assert replay.parse_replay(text) == result.replay
    catalog = replay.start_catalog("1-1", states_dir)
    played = replay.play_replay(replay.parse_replay(text), rom_path, catalog)
    assert played.levels_passed == ["1-1"] and played.target_step == len(result.replay.actions)
    shorter = replay.Replay("1-1", 4, result.replay.target, result.replay.actions[:-1])
    assert not replay.play_replay(shorter, rom_path, catalog).reached


def test_explore_command_resumes_its_archive_and_replay_checks_the_file(rom_path, states_dir, tmp_path, capsys):
    uninterrupted = search(rom_path, states_dir, "1-4", lanes=16)
    assert uninterrupted.reached
    out, archive, log = tmp_path / "found.txt", tmp_path / "archive.gz", tmp_path / "log.jsonl"
    command = [
        "explore",
        "--rom",
        str(rom_path),
        "--states",
        str(states_dir),
        "--state",
        "1-4",
        "--lanes",
        "16",
        "--output",
        str(out),
        "--archive",
        str(archive),
        "--log",
        str(log),
        "--quiet",
    ]
    assert main(command + ["--max-steps", "4000"]) == EXIT_NOT_REACHED
    rounds = [json.loads(line)["round"] for line in log.read_text().splitlines()]
    assert archive.exists() and not out.exists()
    assert main(command) == 0
    resumed = [json.loads(line) for line in log.read_text().splitlines()]
    assert [entry["round"] for entry in resumed] == list(range(1, len(resumed) + 1))  # went on, not anew
    assert len(resumed) > len(rounds) and resumed[-1]["target_reached"]
    assert replay.read_replay(out) == uninterrupted.replay
    capsys.readouterr()

    assert main(["replay", "--rom", str(rom_path), "--states", str(states_dir), str(out)]) == 0
    assert capsys.readouterr().out.splitlines()[0].startswith("1-4 ")
    found = replay.read_replay(out)
    cut = replay.Replay(found.start, found.frame_skip, found.target, found.actions[:-1])
    (tmp_path / "cut.txt").write_text(replay.format_replay(cut))
    checking = ["replay", "--rom", str(rom_path), "--states", str(states_dir)]
    assert main(checking + [str(tmp_path / "cut.txt")]) == EXIT_NOT_REACHED


def test_replay_files_refuse_what_they_cannot_read():
    good = (DATA / "replay-1-4-level-end.txt").read_text()
    for bad, message in [
        ("nothing\n", "not a replay file"),
        (good.replace("frame_skip: 4", "frame_skip: 0"), "frame_skip"),
        (good.replace("actions:", "moves:"), "line 6"),
        (good + "zz\n", "'zz' is not an action"),
        (good.replace("target: level 1-4", "target: level 9-9"), "W-S"),
    ]:
        with pytest.raises(ValueError, match=message):
            replay.parse_replay(bad)


def test_two_ray_actors_find_what_one_process_finds(rom_path, states_dir):
    ray = pytest.importorskip("ray", reason="needs Ray: pip install 'tanuvex_turbo[ray]'")
    ray.init(num_cpus=2, include_dashboard=False, _node_ip_address="127.0.0.1")
    try:
        assert {node["NodeManagerAddress"] for node in ray.nodes()} == {"127.0.0.1"}
        local = search(rom_path, states_dir, "1-4", lanes=16)
        spread = search(rom_path, states_dir, "1-4", lanes=8, actors=2)
    finally:
        ray.shutdown()
    assert local.reached and spread.replay == local.replay
    assert (spread.steps, spread.cells, spread.rounds) == (local.steps, local.cells, local.rounds)


def test_a_search_out_of_budget_writes_the_way_through_the_levels_it_passed(rom_path, states_dir, tmp_path):
    out = tmp_path / "partial.txt"
    where = ["--rom", str(rom_path), "--states", str(states_dir)]
    command = ["explore", *where, "--state", "1-4", "--lanes", "16", "--target", "level 2-1", "--quiet"]
    assert main(command + ["--max-steps", "40000", "--output", str(out)]) == EXIT_NOT_REACHED
    assert str(replay.read_replay(out).target) == "level 1-4"
    assert main(["replay", *where, str(out)]) == 0


def test_the_committed_run_from_power_on_passes_every_level_in_order(rom_path):
    found = sorted(DATA.glob("replay-power-on-*.txt"))
    assert found, "no replay from power-on under tests/data"
    recorded = replay.read_replay(found[-1])
    assert recorded.start == replay.POWER_ON
    played = replay.play_replay(recorded, rom_path)
    last = recorded.target.last
    assert played.reached and played.levels_passed == [f"{w}-{s}" for w in range(1, 9) for s in range(1, 5)][: last + 1]


def test_a_search_goes_on_when_a_ray_actor_dies_and_its_archive_loses_nothing(rom_path, states_dir):
    ray = pytest.importorskip("ray", reason="needs Ray: pip install 'tanuvex_turbo[ray]'")

    def kill_actor_0(explorer):
        if explorer.round == 2:
            actor = explorer.workers.actors[0]
            os.kill(ray.get(actor.__ray_call__.remote(lambda _: os.getpid())), signal.SIGKILL)

    def archive(explorer):
        return {key: (cell.length, cell.path, cell.chosen, cell.seen) for key, cell in explorer.cells.items()}

    budget = dict(start="1-4", target="level", states=states_dir, seed=0, max_steps=2500)
    local, alone = explore.explore(rom_path, lanes=8, **budget)
    ray.init(num_cpus=2, include_dashboard=False, _node_ip_address="127.0.0.1")
    try:
        assert {node["NodeManagerAddress"] for node in ray.nodes()} == {"127.0.0.1"}
        with pytest.warns(RuntimeWarning, match="^Ray actor 0 of the search died"):
            spread, survivor = explore.explore(rom_path, lanes=4, actors=2, on_round=kill_actor_0, **budget)
    finally:
        ray.shutdown()
    assert survivor.workers.replacements == 1 and spread.rounds > 3
    assert (spread.steps, spread.rounds, spread.cells) == (local.steps, local.rounds, local.cells)
    assert archive(survivor) == archive(alone)
