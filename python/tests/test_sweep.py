"""examples/sweep.py runs variants of the example cell as Dask tasks: a cluster gives what serial runs give."""

import ctypes
import importlib.util
import os
import pathlib
import sys

import pytest

EXAMPLE = pathlib.Path(os.environ.get("KVR_SWEEP_EXAMPLE")
                       or pathlib.Path(__file__).resolve().parents[2] / "examples" / "sweep.py")
# Under the sanitizers (the interpreter runs with libasan preloaded) only the serial runs are made: they put the
# model's code through the sanitizers; a cluster of sanitized worker processes would only add some ten seconds of
# start-up, testing Dask rather than the model.
SANITIZED = (hasattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check")
             or "libasan" in os.environ.get("LD_PRELOAD", ""))
CASES = [(0.0, 4.0), (0.0, 2.0), (1.5, 4.0), (0.25, 3.0)]  # (scheduled start, span) in seconds


@pytest.fixture(scope="module")
def sweep():
    """The example as a module, its functions pickled by value: workers need not find its file."""
    found = importlib.util.spec_from_file_location("kvr_sweep_example", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module
    found.loader.exec_module(module)
    if not SANITIZED:
        import cloudpickle
        cloudpickle.register_pickle_by_value(module)
    yield module
    del sys.modules[found.name]


@pytest.fixture(scope="module")
def serial(sweep):
    text = sweep.CELL.read_text(encoding="utf-8")
    return text, [sweep.run_variant(text, start, span) for start, span in CASES]


def test_each_variant_brings_the_bracket_to_its_place_when_its_move_ends(sweep, serial):
    _, results = serial
    assert all(set(parts) == {"/Bracket"} for parts in results)
    arrivals = [parts["/Bracket"][0] for parts in results]
    # The bracket is in place (to 1 mm) only at the end of the cart's move: at most a step before it.
    for (start, span), arrival in zip(CASES, arrivals):
        assert start + span - sweep.STEP <= arrival <= start + span
    assert len(set(arrivals)) == len(CASES)
    for parts in results:  # where `make demo` leaves it, whatever the timing
        assert parts["/Bracket"][1] == pytest.approx((0.6, 4.5, 0.95), abs=1e-9)


@pytest.mark.skipif(SANITIZED, reason="no cluster of sanitized worker processes")
@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")  # tornado, under distributed
def test_a_two_worker_cluster_gives_the_serial_results_in_order(sweep, serial):
    from distributed import Client, LocalCluster

    text, expected = serial
    # Worker processes inherit this environment, PYTHONPATH with it: they import the same kvrworldmodel.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        results = sweep.sweep(client, text, CASES)
    assert results == expected  # exactly: the same computation in another process
