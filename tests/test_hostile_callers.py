"""A caller that races, overflows or hands over odd inputs gets an exception,
never a crash, and leaves the environment usable.

scripts/run-asan-python runs this file against the package built with
AddressSanitizer, where an out-of-bounds read shows up even when it would not
crash an ordinary build.
"""

from __future__ import annotations

import gzip
import os
import random
import signal
import threading
import time

import numpy as np
import pytest
from env_support import step_arrays

RACE_SECONDS = 1.5


def _race(call, flip, seconds=RACE_SECONDS):
    """Calls `call` repeatedly while another thread runs `flip` in a loop."""
    stop = threading.Event()

    def writer():
        while not stop.is_set():
            flip()

    thread = threading.Thread(target=writer)
    thread.start()
    calls = 0
    try:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                call()
            except ValueError:
                pass  # the writer's state at check time was invalid
            calls += 1
    finally:
        stop.set()
        thread.join()
    return calls


@pytest.mark.parametrize("method", ["reset_masked_into", "reset_mixed_into"])
def test_resets_survive_a_thread_rewriting_mask_and_indices(make_env, catalog, method):
    # Lane 1 holds an invalid index and is selected only now and then; lane 2
    # is selected and its index flips between valid and invalid. A reset that
    # checked one state of the arrays and then read another would load a
    # catalog entry that does not exist.
    env = make_env(4, num_threads=1, frame_stack=1, resize_width=16, resize_height=16, **catalog)
    size = len(catalog["state_catalog_data"])
    obs = np.zeros(env.obs_shape(), np.uint8)
    mask = np.array([True, False, True, False])
    indices = np.array([0, size + 7, 0, 0], np.int32)
    seeds = [None] * 4
    if method == "reset_mixed_into":
        call = lambda: env.reset_mixed_into(obs, mask, indices, seeds, [None] * 4)  # noqa: E731
    else:
        call = lambda: env.reset_masked_into(obs, mask, indices, seeds)  # noqa: E731

    def flip():
        mask[1] = not mask[1]
        indices[2] = size + 7 - indices[2]

    assert _race(call, flip) > 0
    assert all(0 <= i < size for i in env.active_state_indices())


@pytest.mark.parametrize(
    "sizes, message",
    [
        ({"resize_width": 10**10, "resize_height": 10**10}, "resize_width * resize_height is too large"),
        ({"resize_width": 2**32, "resize_height": 2**32}, "resize_width * resize_height is too large"),
        ({"frame_stack": 2**62}, "lane observation size"),
        ({"frame_stack": 2**61, "grayscale": False}, "lane observation size"),
        ({"num_envs": 2**40, "frame_stack": 2**30}, "observation array size"),
        ({"num_envs": 2**60, "resize_width": 1, "resize_height": 1, "frame_stack": 1}, "num_envs is too large"),
        # Frame counts: a step or reset runs them with the interpreter lock released, beyond Ctrl-C's reach.
        ({"frame_skip": 2**40}, "^frame_skip must be at most 3600, got 1099511627776$"),
        ({"frame_skip": 3601}, "^frame_skip must be at most 3600, got 3601$"),
        ({"noop_reset_max": 2**62}, "^noop_reset_max must be at most 3600, got 4611686018427387904$"),
        ({"noop_reset_max": 3601}, "^noop_reset_max must be at most 3600, got 3601$"),
    ],
)
def test_sizes_that_overflow_are_refused_before_anything_is_built(rom_path, sizes, message):
    from tanuvex_turbo import _RetroVecEnv

    kwargs = {"num_envs": 2, "num_threads": 1, **sizes}
    with pytest.raises(ValueError, match=message.replace("*", r"\*")):
        _RetroVecEnv(rom_path, **kwargs)
    if "3601" in message:  # the bound itself is allowed
        assert _RetroVecEnv(rom_path, **{**kwargs, **{name: 3600 for name in sizes}}).num_envs == 2


def test_sizes_no_allocation_can_hold_raise_memory_error(make_env):
    # Representable, so accepted by the checks, but far beyond any memory:
    # the allocation failure reaches Python as MemoryError, not as an abort.
    with pytest.raises(MemoryError):
        make_env(2, num_threads=1, resize_width=2**28, resize_height=2**28)


def test_cartridge_files_too_large_for_any_image_are_refused_unread(tmp_path):
    huge = tmp_path / "huge.nes"
    with open(huge, "wb") as f:
        f.truncate(300 * 2**20)  # sparse: costs no disk
    for path in (str(huge), "/dev/zero"):
        started = time.monotonic()
        with pytest.raises(RuntimeError, match="^ROM is too large: a mapper 0 / NROM image has at most 65536 bytes$"):
            _construct(path)
        assert time.monotonic() - started < 1.0


def test_a_fifo_without_a_writer_is_refused_at_once_and_one_with_a_writer_is_read(rom_path, tmp_path):
    from tanuvex_turbo.game.cartridge import inspect_cartridge

    fifo = str(tmp_path / "cartridge.fifo")
    os.mkfifo(fifo)
    outcome = []

    def construct():
        try:
            outcome.append(_construct(fifo))
        except RuntimeError as error:
            outcome.append(error)

    opener = threading.Thread(target=construct, daemon=True)  # a hang must not hang the suite
    opener.start()
    opener.join(5.0)
    assert not opener.is_alive(), "opening a FIFO nobody writes to blocked"
    assert isinstance(outcome[0], RuntimeError) and "SHA-256 mismatch" in str(outcome[0])
    assert inspect_cartridge(fifo).size == 0
    with pytest.raises(OSError, match="ROM is too large"):
        inspect_cartridge("/dev/zero")

    with open(rom_path, "rb") as source:
        data = source.read()

    def write():
        with open(fifo, "wb") as writer:
            writer.write(data)

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    for _ in range(50):  # until the writer has reached its open()
        try:
            assert _construct(fifo).num_envs == 1
            break
        except RuntimeError:
            time.sleep(0.1)
    else:
        pytest.fail("a FIFO with a writer was never read")
    writer.join(5.0)


def _construct(path):
    from tanuvex_turbo import _RetroVecEnv

    return _RetroVecEnv(path, 1, num_threads=1)


def test_rom_path_with_a_nul_is_refused_and_undecodable_names_are_opened(rom_path, tmp_path):
    with pytest.raises(ValueError, match="^argument 'rom_path': embedded null byte$"):
        _construct(rom_path + "\0ignored")
    # A file name that is not valid UTF-8 reaches Python as surrogate escapes
    # and must open the same file, as open() would.
    link = os.path.join(os.fsencode(tmp_path), b"cartridge-\xff.nes")
    os.symlink(os.fsencode(rom_path), link)
    assert _construct(os.fsdecode(link)).num_envs == 1
    with pytest.raises(ValueError, match="^argument 'rom_path': .*surrogates not allowed"):
        _construct(rom_path + "\ud800")


@pytest.mark.parametrize("mode", ["NEXT_STEP", "SAME_STEP"])
def test_ctrl_c_during_an_ending_step_does_not_wedge_the_gymnasium_class(rom_path, states_dir, mode):
    pytest.importorskip("gymnasium")
    from gymnasium.vector import AutoresetMode

    from tanuvex_turbo import TurboVectorEnv

    # With the lives byte at 0xFF every episode ends in its first step, so
    # about every other step ends lanes and leaves them pending reset.
    image = bytearray(gzip.decompress((states_dir / "1-1.state").read_bytes()))
    ram = image.find(b"RAM\0" + (2048).to_bytes(4, "little")) + 8
    image[ram + 0x075A] = 0xFF
    env = TurboVectorEnv(
        rom_path,
        8,
        states={"doomed": bytes(image)},
        start_state="doomed",
        autoreset_mode=getattr(AutoresetMode, mode),
        num_threads=1,
    )
    env.reset(seed=1)
    actions = np.zeros(8, np.int64)
    started = time.perf_counter()
    env.step(actions)
    duration = time.perf_counter() - started
    delays = random.Random(1)
    interrupted = 0
    for _ in range(80):
        # SIGINT at a random moment of the step; the interpreter raises
        # KeyboardInterrupt at the next bytecode, often right after the engine
        # returned and before the wrapper recorded which lanes ended.
        timer = threading.Timer(delays.uniform(0, 2 * duration), os.kill, (os.getpid(), signal.SIGINT))
        try:
            timer.start()
            env.step(actions)
            timer.join()
        except KeyboardInterrupt:
            interrupted += 1
        timer.join()
        env.step(actions)  # raised the pending-reset RuntimeError when wedged
    assert interrupted > 0


def test_start_state_paths_are_read_bounded_and_never_block(tmp_path):
    from tanuvex_turbo.states import MAX_STATE_SIZE, load_catalog

    fifo = str(tmp_path / "state.fifo")
    os.mkfifo(fifo)
    outcome = []
    reader = threading.Thread(target=lambda: outcome.append(_error_of(load_catalog, fifo)), daemon=True)
    reader.start()
    reader.join(5.0)
    assert not reader.is_alive(), "reading a FIFO nobody writes to blocked"
    assert isinstance(outcome[0], ValueError) and "the state image is empty" in str(outcome[0])
    bomb = gzip.compress(bytes(MAX_STATE_SIZE + 1))  # 1 KB that would unpack past the bound
    (tmp_path / "big.state").write_bytes(bytes(MAX_STATE_SIZE + 1))
    for source, error, text in [
        ("/dev/zero", OSError, "state file is larger than 1048576 bytes"),
        (tmp_path / "big.state", OSError, "state file is larger than 1048576 bytes"),
        ({"bomb": bomb}, ValueError, "the state image unpacks to more than 1048576 bytes"),
        ({"cut": gzip.compress(bytes(100))[:-9]}, ValueError, "the data ends inside the stream"),
        ({"dir": tmp_path}, IsADirectoryError, str(tmp_path)),
    ]:
        refusal = _error_of(load_catalog, source)
        assert isinstance(refusal, error) and text in str(refusal)
    # The bound itself, and two gzip members one after the other, are read.
    image = bytes(range(256)) * (MAX_STATE_SIZE // 512)
    assert load_catalog({"two": gzip.compress(image) + gzip.compress(image)})[0] == [image * 2]


def test_a_file_that_is_not_a_start_state_is_refused_by_name_as_the_engine_refuses_it(rom_path, state_images, tmp_path):
    from tanuvex_turbo import _RetroVecEnv
    from tanuvex_turbo.states import load_catalog

    assert str(_error_of(load_catalog, rom_path)) == f"{rom_path} is a cartridge image, not a start state"
    image = state_images[0][1]
    ram = image.find(b"RAM\0" + (2048).to_bytes(4, "little")) + 8
    for cut in (7, ram + 2047, ram + 2048, len(image) - 1, len(image)):
        path = tmp_path / f"cut-{cut}.state"
        path.write_bytes(image[:cut])
        try:
            _RetroVecEnv(rom_path, 1, num_threads=1, state_catalog_data=[image[:cut]])
            expected = None
        except ValueError as refusal:
            expected = f"{path} is not a start state: {refusal}"
            if cut == 7:  # no field at all
                expected = f"{path} is not a state image: it holds none of the fields of one (PC, A, X, Y, S, P, "
                expected += "RAM, NTAR, PRAM, SPRA, PPUR)"
        try:
            assert load_catalog(path)[0] == [image[:cut]] and expected is None
        except ValueError as error:
            assert str(error) == expected


def test_replay_files_and_archives_are_read_bounded_and_never_block(rom_path, tmp_path, capsys):
    from tanuvex_turbo import cli
    from tanuvex_turbo.replay import MAX_REPLAY_FILE_SIZE, read_replay

    fifo = str(tmp_path / "input.fifo")
    os.mkfifo(fifo)
    big = tmp_path / "big.replay"
    with open(big, "wb") as f:
        f.truncate(MAX_REPLAY_FILE_SIZE + 1)
    where = ["--rom", rom_path, "--states", str(tmp_path)]
    gif, out = str(tmp_path / "out.gif"), str(tmp_path / "out.replay")
    endless = tmp_path / "endless.replay"
    endless.write_text(
        "tanuvex-turbo replay 1\nstart: power-on\nframe_skip: 4\ntarget: game\nactions:\n00*3000000000\n"
    )
    for argv, message in [
        (["replay", *where, fifo], f"{fifo}: the replay file is empty"),
        (["record", gif, *where, "--replay", fifo], f"{fifo}: the replay file is empty"),
        (["explore", *where, "--archive", fifo, "-o", out], f"{fifo} is not a saved archive: the file is empty"),
        (["replay", *where, "/dev/zero"], f"cannot read /dev/zero: replay file is larger than {MAX_REPLAY_FILE_SIZE}"),
        (["record", gif, *where, "--replay", str(big)], f"replay file is larger than {MAX_REPLAY_FILE_SIZE} bytes"),
        (["explore", *where, "--archive", "/dev/zero", "-o", out], "/dev/zero is not a saved archive: Not a gzip"),
        (["replay", *where, str(endless)], "endless.replay: line 6: '00*3000000000': the replay would hold more than"),
    ]:
        outcome = []
        command = threading.Thread(target=lambda a=argv, o=outcome: o.append(cli.main(a)), daemon=True)
        command.start()
        command.join(10.0)
        assert not command.is_alive(), f"{argv[0]} blocked on {argv[-1]}"
        assert outcome == [2] and message in capsys.readouterr().err
    assert not os.path.exists(gif) and not os.path.exists(out)
    text = "tanuvex-turbo replay 1\nstart: power-on\nframe_skip: 4\ntarget: game\nactions:\n00*3 #"
    big.write_text(text + "x" * (MAX_REPLAY_FILE_SIZE - len(text)))  # the bound itself is read
    assert read_replay(big).actions == bytes(3)


def _error_of(call, *args):
    try:
        call(*args)
    except Exception as error:
        return error
    raise AssertionError(f"{call.__name__}{args} raised nothing")


def test_empty_and_directory_cartridge_paths_are_refused_by_name(monkeypatch, tmp_path, capsys):
    pytest.importorskip("gymnasium")
    from tanuvex_turbo import TurboVectorEnv, cli
    from tanuvex_turbo.game.cartridge import inspect_cartridge

    with pytest.raises(IsADirectoryError, match=f"Is a directory: '{tmp_path}'$"):
        inspect_cartridge(tmp_path)
    monkeypatch.setenv("TANUVEX_TURBO_ROM", "")
    with pytest.raises(ValueError, match="^no cartridge image: pass rom_path or set TANUVEX_TURBO_ROM$"):
        TurboVectorEnv(num_envs=1, states=())
    # An empty path given on the command line is refused, not replaced by the variable's file.
    monkeypatch.setenv("TANUVEX_TURBO_ROM", str(tmp_path / "elsewhere.nes"))
    for argv in (["check", ""], ["record", "--rom", "", str(tmp_path / "out.gif")]):
        assert cli.main(argv) != 0
        assert "the cartridge path is empty" in capsys.readouterr().err


@pytest.mark.parametrize("mode", ["NEXT_STEP", "SAME_STEP"])
def test_a_restore_after_an_interrupted_step_is_kept(rom_path, states_dir, mode):
    pytest.importorskip("gymnasium")
    from gymnasium.vector import AutoresetMode

    from tanuvex_turbo import TurboVectorEnv

    level = gzip.decompress((states_dir / "1-1.state").read_bytes())
    doomed = bytearray(level)
    doomed[doomed.find(b"RAM\0" + (2048).to_bytes(4, "little")) + 8 + 0x075A] = 0xFF
    env = TurboVectorEnv(
        rom_path,
        2,
        states={"level": level, "doomed": bytes(doomed)},
        start_state=["doomed", "level"],
        autoreset_mode=getattr(AutoresetMode, mode),
        num_threads=1,
    )
    env.reset(seed=1)
    clone = env.clone_states(np.array([False, True]))[1]
    _step_interrupted_after_the_engine(env, np.zeros(2, np.int64))  # lane 0 ends in it
    # Both lanes restored from one clone must play on as one: lane 0 is not
    # sent back to its start state for the episode that ended before.
    env.restore_states([clone, clone])
    for _ in range(3):
        obs, rewards, terminated, _, info = env.step(np.ones(2, np.int64))
        assert not terminated.any() and np.array_equal(obs[0], obs[1]) and info["x_pos"][0] == info["x_pos"][1]


def test_an_output_array_resized_by_another_thread_during_a_step_is_refused_not_freed(make_env):
    # NumPy's resize(refcheck=False) frees an array's memory even under a
    # running call unless the array has a weak reference: each call holds one
    # on every array it was given and on the array a view's memory belongs to.
    env = make_env(1, num_threads=1, frame_skip=3600, terminate_on_flag=False)
    arrays = step_arrays(env)
    owner = np.zeros((2,) + env.obs_shape()[1:], np.uint8)
    arrays["obs"] = owner[::2]  # a view: resizing its owner would free it
    env.reset_into(arrays["obs"])
    rewards = arrays["rewards"]
    worker = threading.Thread(target=lambda: env.step_into(*arrays.values()))
    worker.start()
    refused = set()
    while worker.is_alive():
        try:
            env.seed(0)  # refused while the step runs: its arrays are held from here on
            continue
        except RuntimeError:
            pass
        for name, array in (("owner", owner), ("rewards", rewards)):
            try:
                array.resize((0,), refcheck=False)
            except ValueError:
                refused.add(name)
            else:
                assert not worker.is_alive(), f"{name} was resized under the running step"
    worker.join()
    assert refused == {"owner", "rewards"}


def _step_interrupted_after_the_engine(env, actions):
    """A Gymnasium-class step hit by Ctrl-C the moment the engine's step returned."""
    engine = env._engine

    class CtrlCAfterTheEngine:
        def __getattr__(self, name):
            return getattr(engine, name)

        def step(self, *args):
            engine.step(*args)
            raise KeyboardInterrupt

    env._engine = CtrlCAfterTheEngine()
    try:
        with pytest.raises(KeyboardInterrupt):
            env.step(actions)
    finally:
        env._engine = engine


def test_a_life_lost_in_an_interrupted_step_still_ends_the_episode_there(rom_path, states_dir):
    pytest.importorskip("gymnasium")
    from tanuvex_turbo import TurboVectorEnv

    def make():
        return TurboVectorEnv(
            rom_path, 1, states=states_dir, start_state="1-1", action_set="right_only", end_on_life_loss=True
        )

    right = np.ones(1, np.int64)
    reference, env = make(), make()
    reference.reset(seed=0)
    env.reset(seed=0)
    for _ in range(400):  # held right, the first enemy takes a life
        if reference.step(right)[2][0]:
            break
        env.step(right)
    else:
        pytest.fail("no life was lost")
    _step_interrupted_after_the_engine(env, right)
    # The next step is the autoreset of the episode that ended in the interrupted one.
    expected, result = reference.step(right), env.step(right)
    assert not result[2][0] and result[1][0] == 0.0
    assert np.array_equal(result[0], expected[0]) and result[4]["x_pos"][0] == expected[4]["x_pos"][0]
