"""The history of a run from Python: poses as NumPy arrays (recorded, interpolated, predicted), custody with a
hand-over, the first time a carried part enters a sphere, and what is refused.
Scene: the line of test_shuttles (the shuttle S carries the pallet A with the part B along the route R from
5 s of simulation time), with two grippers G1 and G2 on the line assembly L."""

import numpy as np
import pytest

import kvrworldmodel as kvr
from test_shuttles import START, build_line

pytestmark = pytest.mark.skipif(not hasattr(kvr, "KVRHistory"), reason="built without the history tools")


def test_poses_custody_and_arrival(world):
    s = build_line(world)
    g1, g2 = kvr.KVRBasicBody3D("G1"), kvr.KVRBasicBody3D("G2")
    for g, x in ((g1, 1.0), (g2, 2.0)):
        s["L"].addBody(g, ((x, 0, 1), (1, 0, 0, 0)), kvr.Xform.Identity)
        g.flushSpatialState()
    world.setSimulationTime(0)
    h = kvr.KVRHistory(world)
    B = s["B"]

    def ride(t):
        s["planner"].moveBasicObject(t - START)
        s["S"].flushSpatialState()
        world.setSimulationTime(t)
        h.record()

    for t in (6.0, 7.0):
        ride(t)
    at6, at7 = np.asarray(h.poseAt(B, 6.0)), np.asarray(h.poseAt(B, 7.0))
    assert np.array_equal(at7, B.getBaseLocation().matrix())
    half = h.poseAt(B, 6.5)
    assert half and not half.predicted and half.gap == "none"
    assert np.allclose(half.matrix()[:3, 3], (at6[:3, 3] + at7[:3, 3]) / 2, atol=1e-12)

    # Ahead, from the plan; the real ride puts it there. Many at once: one array, NaN where there is none.
    ahead = h.poseAt(B, 9.0)
    assert ahead.predicted and repr(ahead).endswith("predicted)")
    many = h.posesAt([B, g1, s["A"]], 9.0)
    assert many.shape == (3, 4, 4) and np.isnan(many[1]).all() and np.array_equal(many[0], np.asarray(ahead))
    gap = h.poseAt(g1, 9.0)
    assert not gap and gap.gap == "after the record" and "no active planned shuttle" in gap.reason

    # When does B first come within 1 cm of where the plan has it at 8.5 s? About then, to a millisecond.
    target = kvr.KVRHistory.plannedPose(B, 8.5).matrix()[:3, 3]
    arrival = h.firstTimeInsideSphere(B, target, 0.01, 7.0, 20.0)
    assert 7.0 < arrival.time.toSeconds() <= 8.501 and np.linalg.norm(np.asarray(arrival)[:3, 3] - target) <= 0.01
    assert h.firstTimeInsideBox(B, (100, 100, 100), (101, 101, 101), 0, 20) is None
    ride(9.0)
    assert np.allclose(np.asarray(ahead), B.getBaseLocation().matrix(), atol=1e-12)

    # Custody: on the pallet (carried by S), picked by G1, handed to G2 within one step.
    for t, g in ((10, g1), (11, g2)):
        g.grabBody(B)
        world.setSimulationTime(t)
        h.record()
    held = h.custody(B, 0, 100)
    assert [(c.holder.getEntityName(), c.hold, c.start.toSeconds(), c.handedOver) for c in held] == [
        ("A", "connected", 0.0, False), ("G1", "grabbed", 10.0, True), ("G2", "grabbed", 11.0, True)]
    assert [c.getEntityName() for c in held[0].carriers] == ["S"] and held[2].open and "handed over" in repr(held[2])
    assert h.getStepCount() == 6 and h.getSampleCount(g1) == 1 and "6 steps" in repr(h)

    # Refused: a step back in time, a wrong type, a region that is not one.
    with pytest.raises(ValueError):
        h.record(3.0)
    with pytest.raises(TypeError):
        h.poseAt("B", 1.0)
    with pytest.raises(TypeError, match="the centre"):
        h.firstTimeInsideSphere(B, "here", 1.0, 0, 1)
    with pytest.raises(ValueError):
        h.firstTimeInsideSphere(B, (0, 0, 0), -1.0, 0, 1)
