"""Shared fixtures: where the supported cartridge and its start states are.

The cartridge image is never part of the repository. Tests that need it read
its path from TANUVEX_TURBO_ROM and the folder of gzip-compressed state images
from TANUVEX_TURBO_STATES. An unset variable skips those tests; a variable
that is set but points nowhere fails them.
"""

from __future__ import annotations

import gzip
import os
import pathlib

import pytest

# A local Ray must listen on the loopback address only. Ray turns
# ray.init(_node_ip_address="127.0.0.1") into the machine's outward address
# (and its servers listen there) unless this is 0; Ray reads it when it is
# first imported, so it is set before any test module imports Ray.
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")


def _path_from_environment(variable, what, want_dir):
    value = os.environ.get(variable)
    if not value:
        pytest.skip(f"{variable} is not set; point it at {what} to run this test")
    path = pathlib.Path(value)
    if want_dir and not path.is_dir():
        pytest.fail(f"{variable}={value!r} is not a directory")
    if not want_dir and not path.is_file():
        pytest.fail(f"{variable}={value!r} is not a file")
    return path


def load_state_images(directory):
    """Returns [(file stem, decompressed bytes)] for every *.state file, sorted by name."""
    paths = sorted(pathlib.Path(directory).glob("*.state"))
    return [(p.stem, gzip.decompress(p.read_bytes())) for p in paths]


@pytest.fixture(scope="session")
def rom_path():
    """Path (str) of the supported cartridge image."""
    return str(_path_from_environment("TANUVEX_TURBO_ROM", "the supported cartridge image", want_dir=False))


@pytest.fixture(scope="session")
def states_dir():
    """Folder holding the gzip-compressed start states of the supported game."""
    return _path_from_environment("TANUVEX_TURBO_STATES", "the folder of start states", want_dir=True)


@pytest.fixture(scope="session")
def state_images(states_dir):
    """The start states as (name, bytes) pairs in sorted file order."""
    images = load_state_images(states_dir)
    if not images:
        pytest.fail(f"no *.state files in {states_dir}")
    return images


@pytest.fixture(scope="session")
def catalog(state_images):
    """State catalog keyword arguments built from the start states."""
    return {
        "state_catalog_data": [data for _, data in state_images],
        "state_catalog_names": [name for name, _ in state_images],
    }


@pytest.fixture(scope="session")
def game_over_catalog(state_images):
    """Catalog keyword arguments with one start state, a real one with its lives byte set to 0xFF."""
    from env_support import game_over_image

    return {"state_catalog_data": [game_over_image(state_images[0][1])], "state_catalog_names": ["game-over"]}


@pytest.fixture
def make_env(rom_path):
    """Factory: make_env(num_envs, **kwargs) builds an environment on the supported cartridge."""
    from tanuvex_turbo import _RetroVecEnv

    def make(num_envs=8, **kwargs):
        return _RetroVecEnv(rom_path, num_envs, **kwargs)

    return make
