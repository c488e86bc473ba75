"""The step as a compiled function for JAX: :meth:`TurboVectorEnv.xla`.

``handle, recv, send, step = env.xla()`` gives EnvPool's interface: ``step(handle,
actions) -> (handle, (obs, reward, terminated, truncated, info))``, ``send(handle,
actions, env_id=None) -> handle`` and ``recv(handle) -> (handle, (obs, reward,
terminated, truncated, info))``. Each is a JAX function around an XLA FFI call
on the CPU, usable inside ``jax.jit``, ``lax.scan`` and ``lax.fori_loop``; the
handler calls the engine's C++ step (or its asynchronous send and receive)
directly, with no Python in between. The handle that each call returns and
the next one takes orders the calls: thread it through, as the state of a
loop.

The handle is a ``uint8`` array: the number of the environment's binding to
its engine (8 bytes), then the action table (controller byte of each action
index). The lanes are stepped in the environment's own observation stack, so
a compiled loop goes on from where the Python methods left off (call
``reset()`` first) and the other way round. A call is refused (an error from
the compiled function, nothing changes) while another call uses the engine,
for example lanes in flight sent by :meth:`TurboVectorEnv.send`, and after
:meth:`TurboVectorEnv.close`.

``info`` holds the ten game values, the requested extra info (as
``int32``) and, with ``progress_info``, ``level_end`` and ``dying``;
:meth:`recv` adds ``env_id``. Every episode rule and the ``NEXT_STEP``
autoreset run in the engine's step, as for :meth:`TurboVectorEnv.step`;
``SAME_STEP`` is refused (the compiled step returns no final observation). ``jax.vmap`` over these functions
is refused: one handle names one engine, whose lanes already are the batch.

JAX is needed only here: ``pip install 'tanuvex_turbo[jax]'``; the extension
must have been built with it installed (CMake finds its FFI headers).
"""

from __future__ import annotations

import functools
from typing import Any

import numpy as np

from tanuvex_turbo import _tanuvex_turbo
from tanuvex_turbo.game.fields import INFO_FIELDS

# The handlers' functions exist only in an extension built with JAX (no stub declares them).
_native: Any = _tanuvex_turbo

__all__ = ["VMAP_MESSAGE", "xla_interface"]

#: The refusal of ``jax.vmap`` over the compiled step, send or receive.
VMAP_MESSAGE = (
    "jax.vmap over TurboVectorEnv.xla()'s functions is not supported: a handle names one engine, and its "
    "lanes already are the batch (actions hold one entry per lane). For more lanes make the environment with "
    "a larger num_envs; for several environments call each one's functions in turn"
)

NOT_BUILT_MESSAGE = (
    "this tanuvex_turbo extension was built without the XLA handlers, because its build found no JAX: "
    "install JAX into the Python that builds it (pip install 'tanuvex_turbo[jax]'), then reinstall from the "
    "source checkout (scripts/install-package, or pip install --no-build-isolation .); CMake then finds "
    "jax.ffi's headers and turns TT_XLA on (-DTT_XLA=ON makes a build without them fail)"
)

_registered = False


def _register(jax: Any) -> None:
    global _registered
    if not _registered:
        for name, capsule in _native._xla_targets().items():
            jax.ffi.register_ffi_target(name, capsule, platform="cpu")
        _registered = True


def _without_vmap(jax: Any, function: Any) -> Any:
    """``function`` with ``jax.vmap`` refused when it batches any argument."""
    wrapped: Any = functools.wraps(function)(jax.custom_batching.custom_vmap(function))

    @wrapped.def_vmap
    def _rule(axis_size: int, in_batched: Any, *args: Any) -> Any:
        if any(jax.tree_util.tree_leaves(in_batched)):
            raise ValueError(VMAP_MESSAGE)
        out = function(*args)
        return out, jax.tree_util.tree_map(lambda _: False, out)

    return wrapped


def xla_interface(env: Any) -> tuple[Any, Any, Any, Any]:
    """``(handle, recv, send, step)`` of ``env`` (a reset :class:`TurboVectorEnv`); see the module documentation."""
    try:
        import jax
        import jax.numpy as jnp
    except ImportError as error:
        raise ImportError("TurboVectorEnv.xla() needs JAX: pip install 'tanuvex_turbo[jax]'") from error
    if not hasattr(_native, "_xla_targets"):
        raise RuntimeError(NOT_BUILT_MESSAGE)
    env._check_open()
    if not env._reset_done:
        raise RuntimeError("call reset() before xla()")
    if env.autoreset_mode.name == "SAME_STEP":
        raise NotImplementedError(
            "xla() returns no final observation: use autoreset_mode NEXT_STEP (the default) or DISABLED"
        )
    _register(jax)

    number = _native._xla_bind(env._engine, env._obs)
    env.__dict__.setdefault("_xla_unbinds", []).append(lambda: _native._xla_unbind(number))
    table = np.asarray(env._action_table, np.uint8)
    handle = np.concatenate([np.frombuffer(np.int64(number).astype("<i8").tobytes(), np.uint8), table])

    n, batch = env.num_envs, env.batch_size
    lane_shape = tuple(env._obs_shape[1:])
    extra_layout = env._extra_layout
    extra_width = env._engine.extra_info_shape()[1] if extra_layout else 0
    progress = env.progress_info
    handle_spec = jax.ShapeDtypeStruct(handle.shape, jnp.uint8)

    def result_specs(count: int, with_ids: bool) -> list[Any]:
        specs = [
            handle_spec,
            jax.ShapeDtypeStruct((count, *lane_shape), jnp.uint8),
            jax.ShapeDtypeStruct((count,), jnp.float32),
            jax.ShapeDtypeStruct((count,), jnp.bool_),
            jax.ShapeDtypeStruct((count,), jnp.bool_),
        ]
        specs += [jax.ShapeDtypeStruct((count,), dtype) for _, dtype in INFO_FIELDS]
        if with_ids:
            specs.append(jax.ShapeDtypeStruct((count,), jnp.int32))
        if extra_width:
            specs.append(jax.ShapeDtypeStruct((count, extra_width), jnp.int32))
        if progress:
            specs += [jax.ShapeDtypeStruct((count,), jnp.bool_)] * 2
        return specs

    def outputs(results: Any, with_ids: bool) -> Any:
        new_handle, obs, reward, terminated, truncated, *rest = results
        info = {name: rest[i] for i, (name, _) in enumerate(INFO_FIELDS)}
        rest = rest[len(INFO_FIELDS) :]
        if with_ids:
            info["env_id"], *rest = rest
        if extra_width:
            rows, *rest = rest
            for name, _, offset, count, _ in extra_layout:
                info[name] = rows[:, offset] if count == 1 else rows[:, offset : offset + count]
        if progress:
            info["level_end"], info["dying"] = rest
        return new_handle, (obs, reward, terminated, truncated, info)

    step_call = jax.ffi.ffi_call("tanuvex_turbo_step", result_specs(n, False), has_side_effect=True)
    send_call = jax.ffi.ffi_call("tanuvex_turbo_send", [handle_spec], has_side_effect=True)
    recv_call = jax.ffi.ffi_call("tanuvex_turbo_recv", result_specs(batch, True), has_side_effect=True)

    def send(handle: Any, actions: Any, env_id: Any = None) -> Any:
        actions = jnp.asarray(actions, jnp.int32)
        if env_id is None:
            env_id = jnp.arange(actions.shape[0], dtype=jnp.int32)
        (new_handle,) = send_call(handle, actions, jnp.asarray(env_id, jnp.int32))
        return new_handle

    def recv(handle: Any) -> Any:
        return outputs(recv_call(handle), True)

    def step(handle: Any, actions: Any, env_id: Any = None) -> Any:
        if batch == n and env_id is None:
            return outputs(step_call(handle, jnp.asarray(actions, jnp.int32)), False)
        return recv(send(handle, actions, env_id))

    return jnp.asarray(handle), _without_vmap(jax, recv), _without_vmap(jax, send), _without_vmap(jax, step)
