"""Calls ended from outside: the interpreter exiting under a daemon thread that
is inside a call, and Ctrl-C during a long call."""

import signal
import subprocess
import sys
import time

import pytest

import _mirabund_core as mc

RUNS = 20

PRELUDE = f"""
import sys, threading, time
sys.path[:0] = {sys.path!r}
import _mirabund_core as mc
assert mc.__file__ == {mc.__file__!r}, mc.__file__
"""

# Each call runs Python code of ours that never returns; the main thread
# exits meanwhile, and the interpreter ends the daemon thread where it is.
DAEMON_CALLS = {
    "statistic": "mc.block_bootstrap([1.0, 2.0, 3.0], 1, 10, 0.9, spin, seed=0)",
    "sample item": "mc.cohens_d([1.0, Spinning()], [1.0, 2.0])",
    "method argument": "mc.SequentialTest(0.05, 1.0).update(Spinning())",
    "constructor argument": "mc.SequentialTest(Spinning(), 1.0)",
    "integer argument": "mc.block_bootstrap_mean([1.0, 2.0], Spinning(), 10, 0.9)",
    # The call holds the only reference to the item, which it must not drop.
    "last reference": "mc.cohens_d(Fresh(), [1.0, 2.0])",
}

DAEMON_CHILD = PRELUDE + """
entered = threading.Event()

def spin(*_):
    entered.set()
    while True:
        time.sleep(0.001)

class Spinning:
    __float__ = __index__ = spin

class Fresh:
    class Item:
        __float__ = staticmethod(spin)  # no frame of spin's holds the item

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise IndexError

    def __iter__(self):
        yield Fresh.Item()

threading.Thread(target=lambda: {call}, daemon=True).start()
entered.wait()
"""


@pytest.mark.parametrize("call", DAEMON_CALLS.values(), ids=DAEMON_CALLS)
def test_exit_with_a_daemon_thread_inside_a_call(call):
    script = DAEMON_CHILD.format(call=call)
    children = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True) for _ in range(RUNS)]
    outcomes = [(child.wait(timeout=120), child.stderr.read()) for child in children]
    for child in children:
        child.stdout.close()
        child.stderr.close()
    failed = [outcome for outcome in outcomes if outcome != (0, "")]
    assert not failed, f"{len(failed)} of {RUNS} runs failed; first: {failed[0]}"


# About five seconds of work each, interrupted half a second in.
LONG_CALLS = {
    "bootstrap of the mean": "mc.block_bootstrap_mean(data, 10, 600_000, 0.95, seed=1)",
    "conversion of a long range": "mc.cohens_d(range(10**8), data)",
    # The calling thread runs the hook while two workers resample.
    "resamples over threads": "__import__('mirabund._native')._native.shared_bootstrap_means("
                              "[data] * 6, 'percentile', 1, 600_000, 0.95, 1, 2)",
}

SIGINT_CHILD = PRELUDE + """
data = [float(i % 17) for i in range(10_000)]
print("ready", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
else:
    print("finished", flush=True)
print(mc.cohens_d([1, 2, 3], [2, 3, 4]).cohens_d, flush=True)
"""


@pytest.mark.parametrize("call", LONG_CALLS.values(), ids=LONG_CALLS)
def test_ctrl_c_ends_a_long_call(call):
    child = subprocess.Popen([sys.executable, "-c", SIGINT_CHILD.format(call=call)], stdout=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        outcome = child.stdout.readline().split()
        assert outcome[0] == "interrupted"
        assert float(outcome[1]) - sent < 0.2
        assert child.stdout.readline() == "1.0\n"  # the module carries on
    finally:
        child.kill()
        child.wait()
        child.stdout.close()

