"""The history of a run from Python: poses, custody with a hand-over, arrival in a region, refusals.
Scene: the line of test_shuttles (S carries A with B along R from 5 s), with grippers G1, G2 on L."""

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
    h, B = kvr.KVRHistory(world), s["B"]

    def ride(t):
        s["planner"].moveBasicObject(t - START)
        s["S"].flushSpatialState()
        world.setSimulationTime(t)
        h.record()

    ride(6.0)
    ride(7.0)
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

    with pytest.raises(ValueError):
        h.record(3.0)
    with pytest.raises(TypeError):
        h.poseAt("B", 1.0)
    with pytest.raises(TypeError, match="the centre"):
        h.firstTimeInsideSphere(B, "here", 1.0, 0, 1)
    with pytest.raises(ValueError):
        h.firstTimeInsideSphere(B, (0, 0, 0), -1.0, 0, 1)
