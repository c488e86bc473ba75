"""The extension module's surface: names, order, constants, classes, the
extra info catalogue and the once-per-process initialisation; and the
direction of the package's imports."""

from __future__ import annotations

import ast
import importlib.metadata
import inspect
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tanuvex_turbo
from tanuvex_turbo import _tanuvex_turbo as ext

EXPECTED_ALL = [
    "ZuboLiveSnapshot",
    "_RetroVecEnv",
    "extra_info_descriptors",
    "NES_WIDTH",
    "NES_HEIGHT",
    "VISIBLE_FRAME_WIDTH",
    "VISIBLE_FRAME_HEIGHT",
]

CONSTRUCTOR_SIGNATURE = (
    "(rom_path, num_envs, frame_skip=4, grayscale=True, frame_stack=4, terminate_on_flag=True, "
    "crop_top=0, crop_bottom=0, resize_width=84, resize_height=84, state_catalog_data=None, "
    "state_catalog_names=None, seed=0, frame_maxpool=False, noop_reset_max=0, sticky_action_prob=0.0, "
    'crop_left=0, crop_right=0, crop_mode="remove", crop_fill=0, resize_algorithm="area", '
    "num_threads=None, extra_info_ids=None, render_observations=True, obs_type=None, end_on_life_loss=False, "
    'episodic_life=False, end_on_level_end=False, progress_info=False, max_episode_steps=None, autoreset="off")'
)


STUB = Path(__file__).resolve().parents[1] / "python" / "tanuvex_turbo" / "_tanuvex_turbo.pyi"
STUB_ARRAY_ALIASES = {"uint8": "_U8", "int16": "_I16", "uint16": "_U16", "uint32": "_U32"}
NO_DEFAULT = inspect.Parameter.empty


def stub_parameters(cls_name, function_name):
    """(name, default, annotation text) of each parameter after self/cls in the stub."""
    tree = ast.parse(STUB.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls_name)
    fn = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == function_name)
    args = fn.args.args[1:]
    defaults = [NO_DEFAULT] * (len(args) - len(fn.args.defaults)) + [ast.literal_eval(d) for d in fn.args.defaults]
    return [(a.arg, d, ast.unparse(a.annotation)) for a, d in zip(args, defaults)]


def test_restatements_match_the_engine():
    engine = inspect.signature(ext._RetroVecEnv).parameters
    stub = [(name, default) for name, default, _ in stub_parameters("_RetroVecEnv", "__new__")]
    assert stub == [(name, p.default) for name, p in engine.items()], "stub constructor defaults"
    fields = [(name, STUB_ARRAY_ALIASES[dtype]) for name, dtype in ext._INFO_FIELDS]
    assert [(n, a) for n, _, a in stub_parameters("_RetroVecEnv", "info_into")] == fields
    assert [(n, a) for n, _, a in stub_parameters("_RetroVecEnv", "step_into")][5:] == fields
    pytest.importorskip("gymnasium")
    from tanuvex_turbo.env.options import OPTIONS, options_table
    from tanuvex_turbo.vector_env import TurboVectorEnv

    # Each engine argument is one option's (or the class's own: the cartridge, the lanes, the catalog, the
    # extra info ids, the autoreset), and an option's default is the engine's, as the option converts it.
    own = {"rom_path", "num_envs", "state_catalog_data", "state_catalog_names", "extra_info_ids", "autoreset"}
    options = {option.engine: option for option in OPTIONS if option.engine}
    assert set(engine) - own == set(options)
    for name, option in options.items():
        default = option.to_engine(option.default) if option.to_engine else option.default
        assert default == engine[name].default, name
    wrapper = inspect.signature(TurboVectorEnv).parameters
    assert [(n, p.default) for n, p in wrapper.items()][2:] == [(o.name, o.default) for o in OPTIONS]
    docs = (Path(__file__).resolve().parents[1] / "docs" / "options.md").read_text()
    assert options_table() in docs, "docs/options.md: paste the table of tanuvex_turbo.env.options.options_table()"


def test_constants():
    assert (ext.NES_WIDTH, ext.NES_HEIGHT) == (256, 240)
    assert (ext.VISIBLE_FRAME_WIDTH, ext.VISIBLE_FRAME_HEIGHT) == (240, 224)
    assert all(type(getattr(ext, n)) is int for n in EXPECTED_ALL[3:])


def test_all_lists_the_attributes_in_registration_order():
    assert ext.__all__ == EXPECTED_ALL
    # Attribute insertion order of the module matches too.
    public = [k for k in vars(ext) if k in EXPECTED_ALL]
    assert public == EXPECTED_ALL


def test_package_reexports_the_extension():
    # The Gymnasium class comes last: it is loaded on first use.
    assert tanuvex_turbo.__all__ == [*EXPECTED_ALL, "TurboVectorEnv"]
    assert set(tanuvex_turbo.__all__) <= set(dir(tanuvex_turbo))
    for name in EXPECTED_ALL:
        assert getattr(tanuvex_turbo, name) is getattr(ext, name)
    assert ext.__name__ == "tanuvex_turbo._tanuvex_turbo"
    assert tanuvex_turbo.__version__ == importlib.metadata.version("tanuvex_turbo")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="file naming checked on Linux")
def test_extension_is_built_for_the_stable_abi():
    assert ext.__file__.endswith(".abi3.so")


def test_classes_report_the_package_module():
    for cls in (ext.ZuboLiveSnapshot, ext._RetroVecEnv):
        assert cls.__module__ == "tanuvex_turbo._tanuvex_turbo"
    assert ext._RetroVecEnv.__qualname__ == "_RetroVecEnv"
    assert ext.ZuboLiveSnapshot.__qualname__ == "ZuboLiveSnapshot"


def test_constructor_text_signature():
    assert ext._RetroVecEnv.__text_signature__ == CONSTRUCTOR_SIGNATURE
    params = list(inspect.signature(ext._RetroVecEnv).parameters.values())
    assert len(params) == 31
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)
    assert [p.name for p in params if p.default is p.empty] == ["rom_path", "num_envs"]


def test_live_snapshot_cannot_be_constructed():
    with pytest.raises(TypeError, match=r"^No constructor defined for ZuboLiveSnapshot$"):
        ext.ZuboLiveSnapshot()
    with pytest.raises(TypeError):
        ext.ZuboLiveSnapshot.__new__(ext.ZuboLiveSnapshot)
    assert ext.ZuboLiveSnapshot.__reduce__.__text_signature__ == "($self)"


class TestExtraInfoDescriptors:
    def test_shape_of_the_catalogue(self):
        entries = ext.extra_info_descriptors()
        assert isinstance(entries, list) and len(entries) == 27
        for position, entry in enumerate(entries):
            assert isinstance(entry, tuple) and len(entry) == 5
            ident, name, count, dtype, enum_name = entry
            assert ident == position
            assert isinstance(name, str) and name
            assert dtype in ("bool", "int8", "int16", "int32")
            assert enum_name is None or isinstance(enum_name, str)
            assert count == (6 if 16 <= ident <= 22 else 1)
        assert len({e[1] for e in entries}) == 27

    def test_known_entries(self):
        entries = ext.extra_info_descriptors()
        assert entries[0] == (0, "area_id", 1, "int16", None)
        assert entries[1] == (1, "area_type", 1, "int8", "AreaType")
        assert entries[6] == (6, "is_large", 1, "bool", None)
        assert entries[18] == (18, "enemy_x_pos", 6, "int32", None)
        assert entries[22] == (22, "enemy_facing", 6, "int8", "Direction")
        assert entries[26] == (26, "loop_pass_count", 1, "int16", None)
        enum_names = {e[4] for e in entries} - {None}
        assert enum_names == {"AreaType", "PlayerMotion", "PlayerPower", "Direction", "GameMode", "PlayerTask"}

    def test_each_call_builds_a_new_list(self):
        first = ext.extra_info_descriptors()
        first.clear()
        second = ext.extra_info_descriptors()
        assert len(second) == 27
        assert second is not ext.extra_info_descriptors()

    def test_function_surface(self):
        fn = ext.extra_info_descriptors
        assert fn.__text_signature__ == "()"
        assert fn.__module__ == "tanuvex_turbo._tanuvex_turbo"
        with pytest.raises(TypeError):
            fn(1)


def test_second_initialisation_in_one_process_is_refused():
    # A fresh load of the same shared object under another module name runs
    # the initialisation function again, which must refuse.
    script = textwrap.dedent(
        """
        import importlib.util
        import tanuvex_turbo._tanuvex_turbo as ext
        spec = importlib.util.spec_from_file_location("_tanuvex_turbo", ext.__file__)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as error:
            print("ImportError:", error)
        else:
            print("loaded twice")
        # The first module stays usable.
        print(len(ext.extra_info_descriptors()))
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("ImportError:"), result.stdout
    assert lines[1] == "27"


# Each room of the package may import the rooms of a lower rank only (its own modules aside).
ROOM_RANK = {"_tanuvex_turbo": 0, "game": 1, "env": 2, "explore": 3, "adapters": 3, "cli": 4}
ADAPTERS = {"sb3", "sb3_infos", "ray"}


def room_of(name):
    part = name.split(".")[1]
    return "adapters" if part in ADAPTERS else part


def test_rooms_import_downward_without_circles():
    package = Path(tanuvex_turbo.__file__).parent
    modules = {}
    for path in package.rglob("*.py"):
        parts = path.relative_to(package.parent).with_suffix("").parts
        modules[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    modules["tanuvex_turbo._tanuvex_turbo"] = None

    def owner(name):  # the module an imported name lives in
        while name not in modules:
            name = name.rpartition(".")[0]
        return name

    edges = {}
    for name, path in modules.items():
        if path is None or name.count(".") == 0 or room_of(name) not in ROOM_RANK:
            continue  # the extension; the package root, __main__ and the old paths kept for users
        found = set()
        for node in ast.walk(ast.parse(path.read_text())):  # function-level imports too
            if isinstance(node, ast.Import):
                found.update(owner(alias.name) for alias in node.names if alias.name.startswith("tanuvex_turbo"))
            elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("tanuvex_turbo"):
                found.update(owner(f"{node.module}.{alias.name}") for alias in node.names)
        edges[name] = found - {name}
        room = room_of(name)
        for target in edges[name]:
            assert target != "tanuvex_turbo", f"{name} imports the package root"
            other = room_of(target)
            assert other == room or ROOM_RANK[other] < ROOM_RANK[room], f"{name} imports {target}"
    state = {}

    def visit(name, trail):
        state[name] = "open"
        for target in edges.get(name, ()):
            assert state.get(target) != "open", f"import circle: {' -> '.join(trail + [target])}"
            if target not in state:
                visit(target, trail + [target])
        state[name] = "done"

    for name in edges:
        if name not in state:
            visit(name, [name])
