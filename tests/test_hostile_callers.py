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
    ],
)
def test_sizes_that_overflow_are_refused_before_anything_is_built(rom_path, sizes, message):
    from tanuvex_turbo import _RetroVecEnv

    kwargs = {"num_envs": 2, "num_threads": 1, **sizes}
    with pytest.raises(ValueError, match=message.replace("*", r"\*")):
        _RetroVecEnv(rom_path, **kwargs)


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
    from tanuvex_turbo.cartridge import inspect_cartridge

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
