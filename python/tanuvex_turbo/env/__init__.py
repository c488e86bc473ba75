"""The Gymnasium class :class:`~tanuvex_turbo.env.vector_env.TurboVectorEnv` and its parts.

``_registration`` registers the Gymnasium id when the package is imported:
this package itself imports nothing, so that ``import tanuvex_turbo`` does not
import Gymnasium.
"""
