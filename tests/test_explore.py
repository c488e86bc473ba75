"""Archive exploration finds the end of a level, resumes from its saved archive,
gives the same result on Ray actors, and its replay files play back."""

from __future__ import annotations

import base64
import copy
import dataclasses
import gzip
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

from tanuvex_turbo import explore, progress, replay
from tanuvex_turbo.cli import main
from tanuvex_turbo.cli.explore import EXIT_NOT_REACHED

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
    out.unlink()
    capsys.readouterr()
    # The archive of a search that reached its target gives its replay back without searching on.
    assert main(command) == 0
    assert len(log.read_text().splitlines()) == len(resumed)
    assert replay.read_replay(out) == uninterrupted.replay
    assert f"target level 1-4 reached in {resumed[-1]['seconds']:.1f} s" in capsys.readouterr().out

    assert main(["replay", "--rom", str(rom_path), "--states", str(states_dir), str(out)]) == 0
    assert capsys.readouterr().out.splitlines()[0].startswith("1-4 ")
    found = replay.read_replay(out)
    cut = replay.Replay(found.start, found.frame_skip, found.target, found.actions[:-1])
    (tmp_path / "cut.txt").write_text(replay.format_replay(cut))
    checking = ["replay", "--rom", str(rom_path), "--states", str(states_dir)]
    assert main(checking + [str(tmp_path / "cut.txt")]) == EXIT_NOT_REACHED


def test_a_damaged_foreign_or_other_archive_is_refused_and_left_as_it_is(
    rom_path, states_dir, tmp_path, capsys, monkeypatch
):
    archive, out = tmp_path / "archive.gz", tmp_path / "found.txt"
    where = ["--rom", str(rom_path), "--states", str(states_dir), "--state", "1-1", "--lanes", "8"]
    command = ["explore", *where, "--quiet", "--output", str(out), "--archive", str(archive), "--max-steps", "3000"]
    assert main(command[:-1] + ["1500"]) == EXIT_NOT_REACHED
    saved = archive.read_bytes()
    good = json.loads(gzip.decompress(saved))
    k = next(n for n, cell in enumerate(good["cells"]) if cell["length"] > 2)
    state = base64.b64decode(good["cells"][k]["state"])
    damaged = base64.b64encode(state[:-4] + bytes(4)).decode()

    def edited(change):
        document = copy.deepcopy(good)
        change(document)
        return gzip.compress(json.dumps(document).encode())

    for data, message in [
        (edited(lambda d: d.pop("settings")), "archive.gz is a damaged archive: it holds no settings"),
        (edited(lambda d: d["settings"].update(seed=1)), "the archive was made with other settings: seed"),
        (
            edited(lambda d: d["settings"]["cells"].update(x_bucket=16)),
            "the archive was made with other settings: cells",
        ),
        (edited(lambda d: d["cells"][k].pop("state")), f"damaged archive: cell {k} has no 'state'"),
        (edited(lambda d: d.update(passed="x")), "passed must be a whole number of at least -1, got 'x'"),
        (edited(lambda d: d.pop("round")), "damaged archive: it has no 'round'"),
        (edited(lambda d: d["cells"][k].update(length=-1)), f"cell {k}: length must be a whole number of at least 0"),
        (edited(lambda d: d["cells"][k].update(path=d["cells"][k]["path"][2:])), f"cell {k}: its path holds"),
        (edited(lambda d: d["cells"][k].update(level=9)), f"cell {k}: its level 9 is not the level of its key"),
        (edited(lambda d: d["cells"][k].update(state=damaged)), "its checksum does not match"),
        (edited(lambda d: d["cells"].append(d["cells"][k])), "is also the key of an earlier cell"),
        (edited(lambda d: d["cells"].pop(0)), "it holds no start cell"),
        (edited(lambda d: d.update(max_level=5)), "max_level 5 is not the highest level of its cells"),
        (saved[:-200], "archive.gz is not a saved archive: Compressed file ended"),
        (gzip.compress(b"[1, 2]"), "archive.gz is not a saved archive of this version"),
        (b"tanuvex-turbo replay 1\n", "archive.gz is not a saved archive: Not a gzipped file"),
    ]:
        archive.write_bytes(data)
        assert main(command) == 2
        assert message in capsys.readouterr().err
        assert archive.read_bytes() == data and not out.exists()
    archive.write_bytes(saved)
    unpacked = len(gzip.decompress(saved))
    for bounds, message in [
        ((len(saved) - 1, unpacked), f"archive file is larger than {len(saved) - 1} bytes"),
        ((len(saved), unpacked - 1), f"it unpacks to more than {unpacked - 1} bytes"),
    ]:
        monkeypatch.setattr(explore.search, "MAX_ARCHIVE_FILE_SIZE", bounds[0])
        monkeypatch.setattr(explore.search, "MAX_ARCHIVE_SIZE", bounds[1])
        assert main(command) == 2 and message in capsys.readouterr().err
    monkeypatch.setattr(explore.search, "MAX_ARCHIVE_SIZE", unpacked)  # both at their bound: read
    assert main(command) == EXIT_NOT_REACHED and archive.read_bytes() != saved


class _ScriptedWorkers:
    """Workers whose picks report what the test says: (steps into the pick, state) of one cell per pick."""

    def __init__(self, found):
        self.found, self.steps = found, 0

    def start_state(self, index):
        return "start", (1, 0, 0, 0, 0, 0, 0, 0, 0), 0

    def run(self, picks, known, last_level):
        return [
            explore.PickResult(cells=[((1, 0, 0, 0, 0, 5, 5, 0, 0), steps, state)], actions=bytes([n]) * 40)
            for n, (steps, state) in enumerate(self.found)
        ]


def scripted_explorer(found):
    return explore.Explorer(
        _ScriptedWorkers(found),
        start=replay.POWER_ON,
        state_names=[],
        target=progress.Target("level", 0),
        frame_skip=4,
        spec=explore.CellSpec(),
        policy=explore.Policy(),
        picks=len(found),
    )


def test_a_cell_keeps_the_first_of_its_shortest_paths():
    explorer = scripted_explorer([(10, "far"), (5, "near"), (5, "as near, later"), (10, "far again")])
    explorer.step_round()
    cell = explorer.cells[(1, 0, 0, 0, 0, 5, 5, 0, 0)]
    assert (cell.length, cell.path, cell.state) == (5, bytes([1]) * 5, "near")


def test_ctrl_c_while_a_round_is_merged_lets_the_round_finish():
    explorer = scripted_explorer([(10, "far"), (5, "near")])
    merge = explorer._merge

    def merging(*args):
        os.kill(os.getpid(), signal.SIGINT)
        merge(*args)

    explorer._merge = merging
    logged = []
    result = explorer.run(on_round=lambda searching: logged.append(searching.round))  # no budget: until Ctrl-C
    assert result.interrupted and result.rounds == 1 and logged == [1]
    assert explorer.cells[(1, 0, 0, 0, 0, 5, 5, 0, 0)].state == "near"
    assert sum(cell.chosen for cell in explorer.cells.values()) == 2


def test_replay_files_refuse_what_they_cannot_read():
    good = (DATA / "replay-1-4-level-end.txt").read_text()
    for bad, message in [
        ("nothing\n", "not a replay file"),
        (good.replace("frame_skip: 4", "frame_skip: 0"), "frame_skip"),
        (good.replace("actions:", "moves:"), "line 6"),
        (good + "zz\n", "'zz' is not an action"),
        (good.replace("target: level 1-4", "target: level 9-9"), "^line 4: .*W-S"),
        # Numbers are bounded before anything is allocated or played.
        (good.replace("frame_skip: 4", "frame_skip: 99999999999999999999"), "^line 3: frame_skip .* 1 to 3600"),
        (good.replace("frame_skip: 4", "frame_skip: 3601"), "^line 3: frame_skip"),
        (good.replace("42*7", "42*" + "9" * 5000), "^line 7: '42\\*9+': the replay would hold more than 1000000"),
        (good.replace("42*7", "42*99999999999999"), "^line 7: .* more than 1000000 actions"),
        (good + "00*999440\n", "^line 14: .* more than 1000000 actions"),  # the file holds 561 actions
        (good.replace("42*7", "42*0"), "^line 7: '42\\*0': the repeat count must be at least 1"),
        # 62 bytes must not play for hours: the frames are bounded too.
        (good.replace("frame_skip: 4", "frame_skip: 3600") + "00*1000\n", "would play 5619600 frames .* 4000000$"),
    ]:
        with pytest.raises(ValueError, match=message):
            replay.parse_replay(bad)
    widest = replay.parse_replay(good + "00*999439\n")
    assert len(widest.actions) * widest.frame_skip == replay.MAX_REPLAY_FRAMES == 4_000_000
    with pytest.raises(ValueError, match="would play 4000004 frames"):
        replay.play_replay(dataclasses.replace(widest, actions=widest.actions + b"\0"), "unread.nes")


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


def test_ctrl_c_keeps_the_archive_and_the_way_through_the_levels_passed(rom_path, states_dir, tmp_path):
    out, log = tmp_path / "partial.txt", tmp_path / "log.jsonl"
    where = ["--rom", str(rom_path), "--states", str(states_dir), "--state", "1-4", "--lanes", "16"]
    command = ["explore", *where, "--target", "level 2-1", "--output", str(out), "--log", str(log), "--quiet"]
    search = subprocess.Popen(
        [sys.executable, "-m", "tanuvex_turbo", *command, "--save-every", "0"], stdout=subprocess.PIPE, text=True
    )
    try:
        while not (log.exists() and '"levels_passed": ["1-4"]' in log.read_text()):
            assert search.poll() is None, search.communicate()
            time.sleep(0.05)
        search.send_signal(signal.SIGINT)
        printed, _ = search.communicate(timeout=60)
    finally:
        search.kill()
    assert search.returncode == 130
    archive = tmp_path / "partial.txt.archive"
    logged = [json.loads(line)["round"] for line in log.read_text().splitlines()]
    saved = json.loads(gzip.decompress(archive.read_bytes()))
    assert saved["round"] >= logged[-1] and saved["levels_passed"][0][0] == "1-4"
    assert f"saved the archive of {saved['round']} rounds to {archive}" in printed
    assert str(replay.read_replay(out).target) == "level 1-4" and f"wrote {out}" in printed
    # A rerun goes on from the saved round.
    assert main([*command, "--archive", str(archive), "--max-steps", str(saved["steps"] + 1)]) == EXIT_NOT_REACHED
    assert json.loads(log.read_text().splitlines()[-1])["round"] == saved["round"] + 1


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
