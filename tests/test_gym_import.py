"""The core package works without Gymnasium; the Gymnasium class says how to get it."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest


def run_without_gymnasium(code):
    # A None entry in sys.modules makes "import gymnasium" fail as if it were not installed.
    script = "import sys\nsys.modules['gymnasium'] = None\n" + textwrap.dedent(code)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)


def test_core_modules_import_without_gymnasium():
    result = run_without_gymnasium(
        """
        import tanuvex_turbo
        from tanuvex_turbo import _RetroVecEnv, cli, states
        from tanuvex_turbo.cli import bench, record
        from tanuvex_turbo.game import actions, cartridge
        print(len(tanuvex_turbo.__all__), actions.action_set("simple").size)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["8", "7"]


def test_gymnasium_class_names_the_extra():
    result = run_without_gymnasium(
        """
        import tanuvex_turbo
        try:
            tanuvex_turbo.TurboVectorEnv
        except ImportError as error:
            print("ImportError:", error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError:" in result.stdout and "tanuvex_turbo[gym]" in result.stdout


def test_unknown_attribute_is_still_an_attribute_error():
    import pytest

    import tanuvex_turbo

    with pytest.raises(AttributeError, match="no attribute 'NoSuchThing'"):
        _ = tanuvex_turbo.NoSuchThing


def test_optional_extras_are_not_imported_and_name_themselves():
    pytest.importorskip("gymnasium")
    script = textwrap.dedent(
        """
        import sys
        import tanuvex_turbo
        tanuvex_turbo.TurboVectorEnv
        print(sorted({"stable_baselines3", "torch", "ray"} & set(sys.modules)))
        sys.modules["stable_baselines3"] = sys.modules["ray"] = None
        for adapter in ("sb3", "ray"):
            try:
                __import__("tanuvex_turbo." + adapter)
            except ImportError as error:
                print(error)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "[]",
        "tanuvex_turbo.sb3 needs Stable-Baselines3 (and PyTorch): pip install 'tanuvex_turbo[sb3]'",
        "tanuvex_turbo.ray needs Ray: pip install 'tanuvex_turbo[ray]'",
    ]


@pytest.mark.parametrize("first", ["tanuvex_turbo", "gymnasium"])
def test_importing_the_package_registers_its_id(first):
    # Whichever is imported first; the package alone does not import Gymnasium.
    pytest.importorskip("gymnasium")
    script = textwrap.dedent(
        f"""
        import sys
        import {first}
        import tanuvex_turbo
        print("gymnasium" in sys.modules)
        import gymnasium
        gymnasium.register_envs(tanuvex_turbo)
        print(gymnasium.spec("TanuvexTurbo-v0").vector_entry_point)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(first == "gymnasium"), "tanuvex_turbo.vector_env:TurboVectorEnv"]
