"""The Gymnasium class :class:`~tanuvex_turbo.env.vector_env.TurboVectorEnv` and its parts.

``vector_env`` is the front: the constructor, ``reset``, ``step``, ``send`` /
``recv`` and the other methods users call, each handing its work to one part:

- ``arguments``: the constructor's arguments, checked and grouped (what to
  play, what to observe, how episodes start and end, how to run);
- ``start_states``: each lane's start state and the choices of a reset;
- ``episodes``: every rule that ends an episode, for every way of stepping;
- ``async_lanes``: the lanes in flight of ``send`` / ``recv`` and their
  Ctrl-C catch-up;
- ``saved_lanes``: clones, saves and restores of lanes.

``_registration`` registers the Gymnasium id when the package is imported:
this package itself imports nothing, so that ``import tanuvex_turbo`` does not
import Gymnasium.
"""
