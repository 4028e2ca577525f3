"""examples/sweep.py runs variants of the example cell as Dask tasks: a cluster gives what serial runs give."""

import ctypes
import importlib.util
import os
import pathlib
import sys

import pytest

EXAMPLE = pathlib.Path(os.environ.get("KVR_SWEEP_EXAMPLE")
                       or pathlib.Path(__file__).resolve().parents[2] / "examples" / "sweep.py")
SANITIZED = (hasattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check")
             or "libasan" in os.environ.get("LD_PRELOAD", ""))
CASES = [(0.0, 4.0), (0.0, 2.0), (1.5, 4.0), (0.25, 3.0)]  # (scheduled start, span) in seconds


@pytest.fixture
def sweep():
    # The example as a module, its functions pickled by value: workers need not find its file.
    found = importlib.util.spec_from_file_location("kvr_sweep_example", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module
    found.loader.exec_module(module)
    if not SANITIZED:
        import cloudpickle
        cloudpickle.register_pickle_by_value(module)
    yield module
    del sys.modules[found.name]


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")  # tornado, under distributed
def test_each_variant_brings_the_bracket_to_its_place_when_its_move_ends_serially_or_on_a_cluster(sweep):
    text = sweep.CELL.read_text(encoding="utf-8")
    serial = [sweep.run_variant(text, start, span) for start, span in CASES]
    # The bracket is in place only at the end of the cart's move and where `make demo` leaves it.
    for (start, span), parts in zip(CASES, serial):
        assert set(parts) == {"/Bracket"} and start + span - sweep.STEP <= parts["/Bracket"][0] <= start + span
        assert parts["/Bracket"][1] == pytest.approx((0.6, 4.5, 0.95), abs=1e-9)
    assert len({parts["/Bracket"][0] for parts in serial}) == len(CASES)
    if SANITIZED:  # no cluster of sanitized worker processes
        return
    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        assert sweep.sweep(client, text, CASES) == serial  # exactly: the same computation in another process
