"""The Gymnasium id "TanuvexTurbo-v0", registered when the package is imported.

Gymnasium (1.x) has no plugin discovery: an id exists once some import has
registered it. Importing Gymnasium costs about a tenth of a second, and the
package works without it, so ``import tanuvex_turbo`` does not import it:
when Gymnasium is already imported the id is registered at once, otherwise
a one-shot import hook registers it right after Gymnasium's own import runs.
Either way ``gymnasium.make_vec("TanuvexTurbo-v0", num_envs=...)`` works after
``import tanuvex_turbo``, whichever of the two is imported first.
"""

from __future__ import annotations

import importlib.abc
import importlib.util
import sys
import warnings
from typing import Any

ENV_ID = "TanuvexTurbo-v0"


def register() -> None:
    """Adds ENV_ID to Gymnasium's registry (once); imports Gymnasium."""
    import gymnasium

    if ENV_ID not in gymnasium.registry:
        gymnasium.register(
            id=ENV_ID,
            entry_point="tanuvex_turbo.env._registration:refuse_single_env",
            vector_entry_point="tanuvex_turbo.vector_env:TurboVectorEnv",
        )


def refuse_single_env(**kwargs: Any) -> Any:
    """What ``gymnasium.make(ENV_ID)`` runs: the environment is a vector environment."""
    import gymnasium

    raise gymnasium.error.Error(
        f"{ENV_ID} runs many consoles in one vector environment and has no single-environment form: "
        f"use gymnasium.make_vec({ENV_ID!r}, num_envs=N, ...) or tanuvex_turbo.TurboVectorEnv(num_envs=N, ...) "
        "(num_envs=1 for one console)"
    )


class _RegisterAfterImport(importlib.abc.MetaPathFinder):
    """Finds nothing itself; lets Gymnasium's own import run, then registers ENV_ID."""

    def find_spec(self, fullname: str, path: Any = None, target: Any = None) -> Any:
        if fullname != "gymnasium":
            return None
        _remove_hook()
        spec = importlib.util.find_spec(fullname)
        loader = None if spec is None else spec.loader
        exec_module = getattr(loader, "exec_module", None)
        if exec_module is None:
            return spec

        def exec_then_register(module: Any) -> None:
            exec_module(module)
            try:
                register()
            except Exception as error:  # a failed registration must not fail Gymnasium's import
                warnings.warn(f"tanuvex_turbo could not register {ENV_ID}: {error}", RuntimeWarning, stacklevel=2)

        setattr(loader, "exec_module", exec_then_register)  # noqa: B010 (this loader instance only)
        return spec


_hook = _RegisterAfterImport()


def _remove_hook() -> None:
    if _hook in sys.meta_path:
        sys.meta_path.remove(_hook)


def register_when_gymnasium_is_imported() -> None:
    """Registers ENV_ID now if Gymnasium is imported, else as soon as it is; nothing without Gymnasium."""
    if sys.modules.get("gymnasium") is not None:
        register()
    elif "gymnasium" not in sys.modules and _hook not in sys.meta_path:
        sys.meta_path.insert(0, _hook)
