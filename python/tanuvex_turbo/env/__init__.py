"""The Gymnasium class :class:`~tanuvex_turbo.env.vector_env.TurboVectorEnv` and its parts.

``vector_env`` is the front: the constructor, ``reset``, ``step``, ``send`` /
``recv`` and the other methods users call, each handing its work to one part:

- ``options``: every option of the class, declared once;
- ``arguments``: the constructor's arguments, checked, and the engine's;
- ``start_states``: each lane's start state and the choices of a reset;
- ``values``: the arrays of what the engine reports, as ``info``;
- ``async_lanes``: the lanes in flight of ``send`` / ``recv``, and what
  survives Ctrl-C;
- ``saved_lanes``: clones, saves and restores of lanes;
- ``guard``: one thread at a time.

The episode rules are the engine's (``src/vec_env/vec_env_episodes.cpp``).

``_registration`` registers the Gymnasium id when the package is imported:
this package itself imports nothing, so that ``import tanuvex_turbo`` does not
import Gymnasium.
"""
