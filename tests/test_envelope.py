import pytest
from hypothesis import given, strategies as st

import _divavova as m
import synth_model as model


def test_disabled_and_instant_envelopes():
    for env in (m.EnvelopeState(48000, False, attack_time=5.0, attack_level=0.1),
                m.EnvelopeState(48000, True), m.EnvelopeState(0, True, 2.0, 2.0, 2.0)):
        assert (env.level, env.state) == (32767, 1)  # one tick taken on construction
        env.step(256)
        assert (env.level, env.state) == (32767, 2)
        env.release()
        assert env.state == 3
        env.step(255)
        assert env.level == 32767
        env.step(1)
        assert (env.level, env.state) == (0, 3)
        env.step(256 * 10)
        assert (env.level, env.state) == (0, 3)


def test_attack_ramp_and_tick_counting():
    env = m.EnvelopeState(48000, True, attack_time=1.0)
    assert (env.level, env.state) == (174, 0)
    env.step(1)
    assert env.level == 174
    env = m.EnvelopeState(48000, True, attack_time=10.0)  # 17 per tick
    env.step(255)
    assert env.level == 17
    env.step(1)
    assert env.level == 34
    env.step(65536)  # the counter wraps: no tick
    assert env.level == 34
    env.step(65280)  # 255 ticks, none lost
    assert env.level == 34 + 255 * 17
    env.reattack()  # keeps the level
    assert (env.level, env.state) == (34 + 255 * 17, 0)


def test_levels_and_definition():
    env = m.EnvelopeState(48000, True, attack_level=0.5, sustain_level=0.5)
    assert (env.level, env.state) == (16383, 1)
    env.step(256)
    assert (env.level, env.state) == (8191, 2)
    # set_definition changes the ramps only; a re-initialisation restarts the note
    env.set_definition(48000, True, release_time=0.1)
    assert (env.level, env.state) == (8191, 2)
    env.release()
    env.step(256)
    assert env.level == 8191 - (32767 * 256) // 4800
    env.__init__(sample_rate=48000, enabled=False)
    assert (env.level, env.state) == (32767, 1)


def test_argument_errors_change_nothing():
    env = m.EnvelopeState(48000, True, attack_time=1.0)
    for bad in (-1, 1.5, "3", 2**64):
        with pytest.raises((OverflowError, TypeError, ValueError)):
            env.step(bad)
    assert (env.level, env.state) == (174, 0)
    with pytest.raises(TypeError):
        m.EnvelopeState(48000)
    with pytest.raises(TypeError):
        env.set_definition(48000, True, bogus=1)
    with pytest.raises(TypeError):
        env.__init__()
    env.step(256)
    assert env.level == 348
    assert type(env.level) is int and type(env.state) is int


def test_never_initialised_envelope_is_harmless():
    env = m.EnvelopeState.__new__(m.EnvelopeState)
    assert (env.level, env.state) == (0, 0)
    env.step(1024)
    env.release()
    env.step(256)
    assert env.level == 0


TIMES = st.one_of(st.floats(-1.0, 3.0), st.sampled_from([0.0, 1e-9, 1e30, -1e30, 0.5 / 48000]))
FRACTIONS = st.one_of(st.floats(-0.5, 2.5), st.sampled_from([0.0, 1.0, 0.5, 3.0]))


@given(st.integers(0, 200000), st.booleans(), TIMES, TIMES, TIMES, FRACTIONS, FRACTIONS,
       st.lists(st.tuples(st.sampled_from(["step", "release", "reattack"]), st.integers(0, 70000)),
                max_size=12))
def test_against_model(rate, enabled, at, dt, rt, al, sl, actions):
    args = (rate, enabled, at, dt, rt, al, sl)
    env, ref = m.EnvelopeState(*args), model.Envelope(*args)
    for action, count in actions:
        if action == "step":
            env.step(count)
            ref.step(count)
        else:
            getattr(env, action)()
            ref.state = 3 if action == "release" else 0
        assert (env.level, env.state) == (ref.level, ref.state)
