"""Input a careless or hostile caller may give: each is refused with the right
exception, read safely, or interrupted, never a crash or a silent NaN."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from contextlib import contextmanager

import numpy as np
import pytest

import sorvik


def run_limited(code, megabytes, timeout=300):
    """Runs `code` in a fresh interpreter whose address space is capped, so that
    an allocation the module should never make fails instead of succeeding
    slowly, and an abort cannot take pytest with it. Returns its stdout lines."""
    prelude = ("import resource\n"
               f"resource.setrlimit(resource.RLIMIT_AS, ({megabytes} << 20, {megabytes} << 20))\n"
               "import numpy as np, sorvik\n"
               "def report(call):\n"
               "    try:\n"
               "        call()\n"
               "        print('ok')\n"
               "    except Exception as e:\n"
               "        print(type(e).__name__ + ': ' + str(e))\n")
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout, env=os.environ)
    assert done.returncode == 0, (
        f"the interpreter ended with status {done.returncode}"
        + (f" (signal {signal.Signals(-done.returncode).name})" if done.returncode < 0 else "")
        + ":\n" + done.stderr[-2000:])
    return done.stdout.splitlines()


def test_huge_group_size_and_search_radius_do_not_kill_the_interpreter():
    # The group size is cut to the block grid, thousands of lengths: planning
    # every one of them exhausted memory inside FFTW, which aborts.
    (outcome,) = run_limited("""
        noisy = np.random.default_rng(1).random((96, 96))
        report(lambda: sorvik.wiener(noisy, noisy.astype(np.float32), 0.1,
                                     max_group_size=2**31 - 1, search_radius=2**31 - 1))
        """, megabytes=512)
    assert outcome == "ok" or outcome.startswith("ValueError:"), outcome


def test_filter_buffers_beyond_memory_raise_memory_error():
    (outcome,) = run_limited("""
        noisy = np.full((1000, 1000), 0.5)
        report(lambda: sorvik.wiener(noisy, noisy.astype(np.float32), 0.1, block_size=64, step=64))
        """, megabytes=512)
    assert outcome.startswith("MemoryError: not enough memory"), outcome


def test_arrays_over_2_31_pixels_are_refused_before_any_copy():
    # Broadcast views of 2.5e9 pixels hold one value; a copy would need 10 GB.
    outcomes = run_limited("""
        huge = np.broadcast_to(np.float32(0.5), (50000, 50000))
        tall = np.broadcast_to(0.5, (2**31, 1))
        small = np.full((16, 16), 0.5)
        report(lambda: sorvik.wiener(huge, huge, 0.1))
        report(lambda: sorvik.wiener(small, huge, 0.1))
        report(lambda: sorvik.basic_estimate(huge, 0.1))
        report(lambda: sorvik.basic_estimate(tall, 0.1))
        report(lambda: sorvik.wiener(small, small.astype(np.float32), 0.1,
                                     window=np.broadcast_to(1.0, (50000, 50000))))
        """, megabytes=512)
    assert outcomes[:4] == [
        "ValueError: noisy is too large: 50000 x 50000 pixels, over the limit of 2^31 - 1",
        "ValueError: pilot is too large: 50000 x 50000 pixels, over the limit of 2^31 - 1",
        "ValueError: noisy is too large: 50000 x 50000 pixels, over the limit of 2^31 - 1",
        "ValueError: noisy is too large: 2147483648 x 1 pixels, over the limit of 2^31 - 1",
    ]
    assert outcomes[4].startswith("ValueError: window must be a block_size x block_size"), outcomes[4]


def misaligned(values, offset, order="C"):
    """A copy of `values` that starts `offset` bytes into a byte buffer."""
    buffer = np.zeros(values.nbytes + offset, np.uint8)
    view = np.ndarray(values.shape, values.dtype, buffer, offset, order=order)
    view[...] = values
    assert not view.flags.aligned
    return view


def test_misaligned_and_unusual_layouts_give_the_aligned_result():
    noisy = np.mgrid[0:40, 0:36][1] / 80.0 + np.random.default_rng(9).normal(0, 0.1, (40, 36))
    pilot = sorvik.basic_estimate(noisy, 0.1)
    window = sorvik.kaiser_window(8, 3.0)
    expected = sorvik.wiener(noisy, pilot, 0.1, window=window)
    layouts = {
        "float64 at offset 1": (misaligned(noisy, 1), pilot),
        "F order at offset 3, float32 pilot at offset 2":
            (misaligned(noisy, 3, "F"), misaligned(pilot, 2, "F")),
        "big-endian, negative strides": (noisy[::-1].astype(">f8")[::-1], pilot[:, ::-1].copy()[:, ::-1]),
    }
    for name, (n, p) in layouts.items():
        np.testing.assert_array_equal(sorvik.wiener(n, p, 0.1, window=window), expected, name)
        np.testing.assert_array_equal(sorvik.basic_estimate(n, 0.1), pilot, name)
    np.testing.assert_array_equal(
        sorvik.wiener(noisy, pilot, 0.1, window=misaligned(window, 5)), expected)


def test_arguments_of_the_wrong_kind_raise_type_error_naming_them():
    noisy = np.full((16, 16), 0.5)
    pilot = noisy.astype(np.float32)
    cases = [
        ({"window": "kaiser:2"}, "window must be None or .* not str; for a Kaiser window pass kaiser_window"),
        ({"window": {}}, "window must be None or .* not dict"),
        ({"window": object()}, "window must be None or .* not object"),
        ({"window": np.ones((8, 8), complex)}, "window .* not dtype complex128"),
        ({"window": np.full((8, 8), {}, dtype=object)}, "window .* cannot be converted"),
        ({"threads": True}, "threads must be an integer, not bool"),
        ({"block_size": np.True_}, "block_size must be an integer, not bool_"),
        ({"step": 3.0}, "step must be an integer, not float"),
    ]
    for kwargs, message in cases:
        with pytest.raises(TypeError, match=message):
            sorvik.wiener(noisy, pilot, 0.1, **kwargs)
    for sigma in (True, np.True_):
        with pytest.raises(TypeError, match="sigma must be a real number, not bool"):
            sorvik.wiener(noisy, pilot, sigma)
        with pytest.raises(TypeError, match="sigma must be a real number"):
            sorvik.basic_estimate(noisy, sigma)
    with pytest.raises(TypeError, match="size must be an integer"):
        sorvik.kaiser_window(True)
    with pytest.raises(ValueError, match="Kaiser beta must lie between 0 and 40, not 800"):
        sorvik.kaiser_window(8, 800.0)
    assert np.isfinite(sorvik.kaiser_window(8, 40.0)).all()
    with pytest.raises(ValueError, match="search_radius must lie between -2.31 and 2.31 - 1"):
        sorvik.wiener(noisy, pilot, 0.1, search_radius=2**31)
    # Numbers of other types still count: numpy scalars, ints for reals, lists.
    expected = sorvik.wiener(noisy, pilot, 0.1)
    np.testing.assert_array_equal(
        sorvik.wiener(noisy, pilot, np.float32(0.1).item(), block_size=np.int64(8), threads=np.uint8(2),
                      window=sorvik.kaiser_window(8).tolist()),
        expected)
    assert sorvik.basic_estimate(noisy, 0).shape == (16, 16)


def test_basic_estimate_refuses_values_beyond_single_precision():
    noisy = np.random.default_rng(10).random((24, 20))
    with pytest.raises(ValueError, match=r"noisy pixel at row 0, column 0 .* at most 2\^107"):
        sorvik.basic_estimate(noisy * 1e39, 0.1)
    late = noisy.copy()
    late[23, 19] = -2.0 ** 108
    with pytest.raises(ValueError, match="row 23, column 19"):
        sorvik.basic_estimate(late, 0.1)
    # At the limit the transforms' growth still stays in range, for the
    # checkerboard that puts everything into the highest frequency as well.
    r, c = np.mgrid[0:24, 0:20]
    for signs in (np.where((r + c) % 2 == 0, 1.0, -1.0), np.ones_like(noisy)):
        assert np.isfinite(sorvik.basic_estimate(signs * 2.0 ** 107, 0.0)).all()


@contextmanager
def interrupt_after(delay):
    """Sends this process SIGINT after `delay` seconds; the handler notes when
    it ran and raises KeyboardInterrupt, as the default one does."""
    times = {}

    def handler(signum, frame):
        times["handled"] = time.monotonic()
        raise KeyboardInterrupt

    def send():
        times["sent"] = time.monotonic()
        os.kill(os.getpid(), signal.SIGINT)

    previous = signal.signal(signal.SIGINT, handler)
    timer = threading.Timer(delay, send)
    try:
        timer.start()
        yield times
    finally:
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGINT, previous)


def test_ctrl_c_is_seen_between_rows():
    sigma = 0.1
    noisy = np.random.default_rng(11).random((1000, 1000))
    start = time.monotonic()
    pilot = sorvik.basic_estimate(noisy, sigma)
    whole_call = time.monotonic() - start

    # The basic estimate stops at the next row.
    with interrupt_after(whole_call / 10):
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            sorvik.basic_estimate(noisy, sigma)
        assert time.monotonic() - start < whole_call / 2

    # The filter runs to its end, but the handler runs as the signal comes,
    # and its exception is raised once the call returns.
    with interrupt_after(0.1) as times:
        with pytest.raises(KeyboardInterrupt):
            sorvik.wiener(noisy, pilot, sigma, threads=2)
        returned = time.monotonic()
    assert times["handled"] - times["sent"] < (returned - times["sent"]) / 2, times
