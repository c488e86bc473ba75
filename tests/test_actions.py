"""Action sets and controller bytes (tanuvex_turbo.actions, the documented path of
tanuvex_turbo.game.actions); no cartridge needed."""

from __future__ import annotations

import numpy as np
import pytest

from tanuvex_turbo import actions
from tanuvex_turbo.game import actions as game_actions

# The controller's bit order: bit 0 A, 1 B, 2 Select, 3 Start, 4 Up, 5 Down, 6 Left, 7 Right.
BIT = {"A": 0, "B": 1, "select": 2, "start": 3, "up": 4, "down": 5, "left": 6, "right": 7}


def held(*names):
    return sum(1 << BIT[name] for name in names)


class TestNamedSets:
    def test_right_only(self):
        assert actions.action_set("right_only").tolist() == [
            0,
            held("right"),
            held("right", "A"),
            held("right", "B"),
            held("right", "A", "B"),
        ]

    def test_simple_is_right_only_plus_jump_and_left(self):
        assert actions.action_set("simple").tolist() == [
            0,
            held("right"),
            held("right", "A"),
            held("right", "B"),
            held("right", "A", "B"),
            held("A"),
            held("left"),
        ]

    def test_complex_adds_left_combinations_down_and_up(self):
        simple = actions.action_set("simple").tolist()
        complex_ = actions.action_set("complex").tolist()
        assert complex_[: len(simple)] == simple
        assert complex_[len(simple) :] == [
            held("left", "A"),
            held("left", "B"),
            held("left", "A", "B"),
            held("down"),
            held("up"),
        ]

    def test_full_is_every_byte_in_order(self):
        full = actions.action_set("full")
        assert full.dtype == np.uint8
        assert full.tolist() == list(range(256))

    @pytest.mark.parametrize("name", ["right_only", "simple", "complex", "full"])
    def test_sets_have_no_duplicates_and_never_press_select_or_start(self, name):
        table = actions.action_set(name)
        assert len(set(table.tolist())) == len(table)
        if name != "full":
            assert not np.any(table & (held("select") | held("start")))

    def test_action_set_returns_a_fresh_array(self):
        first = actions.action_set("simple")
        first[:] = 255
        assert actions.action_set("simple")[0] == 0

    def test_names(self):
        assert actions is game_actions  # the documented path is the module itself
        assert actions.action_set_names() == ["right_only", "simple", "complex", "full_game", "full"]

    def test_full_game_adds_start_and_down_to_simple(self):
        table = actions.action_set("full_game").tolist()
        assert table[:7] == list(actions.ACTION_SETS["simple"])
        assert held("start") in table and held("down") in table

    def test_unknown_name(self):
        with pytest.raises(ValueError, match="unknown action set 'jump': action_set must be one of right_only, "):
            actions.action_set("jump")


class TestButtons:
    def test_constants_follow_the_bit_order(self):
        for name, bit in BIT.items():
            assert getattr(actions, name.upper()) == 1 << bit
        assert actions.BUTTONS == tuple(sorted(BIT, key=BIT.get))

    def test_buttons_to_byte_is_case_insensitive(self):
        assert actions.buttons_to_byte(["Right", "a", "B"]) == 0x83
        assert actions.buttons_to_byte([]) == 0
        assert actions.buttons_to_byte(["noop"]) == 0

    def test_unknown_button(self):
        with pytest.raises(ValueError, match="unknown button 'jump'"):
            actions.buttons_to_byte(["jump"])

    @pytest.mark.parametrize("value", [0, 1, 0x81, 0xC3, 0xFF])
    def test_byte_round_trip(self, value):
        assert actions.buttons_to_byte(actions.byte_to_buttons(value)) == value
        assert actions.parse_action(actions.describe(value)) == value

    def test_describe_puts_directions_first(self):
        assert actions.describe(0) == "noop"
        assert actions.describe(0x81) == "right+A"
        assert actions.describe(0x42) == "left+B"
        assert actions.describe(0x0C) == "select+start"

    @pytest.mark.parametrize("text, value", [("129", 129), ("0x81", 0x81), ("right+A", 0x81), (" noop ", 0)])
    def test_parse_action(self, text, value):
        assert actions.parse_action(text) == value

    @pytest.mark.parametrize("text", ["", "256", "-1", "right+jump", "0x100"])
    def test_parse_action_refuses(self, text):
        with pytest.raises(ValueError):
            actions.parse_action(text)

    def test_out_of_range_bytes(self):
        for function in (actions.describe, actions.byte_to_buttons):
            with pytest.raises(ValueError, match="0..255"):
                function(256)


class TestResolve:
    def test_name(self):
        assert actions.resolve_action_set("right_only").tolist() == list(actions.ACTION_SETS["right_only"])

    def test_custom_list_mixes_bytes_texts_and_button_lists(self):
        table = actions.resolve_action_set([0, "right+B", ["left", "A"], np.uint8(3)])
        assert table.dtype == np.uint8
        assert table.tolist() == [0, 0x82, 0x41, 3]

    def test_empty_and_bad_items(self):
        with pytest.raises(ValueError, match="at least one action"):
            actions.resolve_action_set([])
        with pytest.raises(ValueError, match="0..255"):
            actions.resolve_action_set([300])
        with pytest.raises(ValueError, match="unknown button"):
            actions.resolve_action_set([["up", "sideways"]])
