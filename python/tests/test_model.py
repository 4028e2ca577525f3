"""The model driven from Python: locations against NumPy products, carrying, trees, paths and events."""

import numpy as np
import pytest
import kvrworldmodel as kvr
from conftest import close, generic_poses, matrix

inv = np.linalg.inv


def test_descendants_follow_a_move_at_the_flush_and_moves_go_in_local_or_parent_axes(world):
    # Frames C0 (in W) -> C1 -> ... -> C5, each at a generic pose relative to its parent.
    poses = list(generic_poses(6, seed=21))
    frames = [kvr.KVRBasicFrame3D(f"C{i}") for i in range(6)]
    world.addEntity(frames[0])
    for parent, child, pose in zip(frames, frames[1:], poses[1:]):
        parent.addLogicalChild(child)
        parent.addSpatialChild(child)
        child.setFrameLocation(pose)
    world.flushLogicalState()
    frames[0].flushBaseLocation()
    before = [f.getBaseLocation() for f in frames]
    assert frames[0].setBaseLocation(poses[0]) == 2 and frames[0].testEvent(kvr.KVRBasicEntity3D.BaseLocationChanged)
    assert frames[0].getPendingEvents() & (1 << kvr.KVRBasicEntity3D.LocationSet)
    assert [f.getBaseLocation() for f in frames[1:]] == before[1:]  # descendants follow at the flush
    frames[0].flushSpatialState()
    for k, frame in enumerate(frames):
        assert close(frame.getBaseLocation(), np.linalg.multi_dot([np.eye(4)] + poses[:k + 1]), 1e-14)
    assert frames[0].getPendingEvents() == 0
    # Relative to another entity of the tree: X_C2C5 = X_WC2^-1 X_WC5.
    assert close(frames[5].getBaseLocation(frames[2]),
                 inv(frames[2].getBaseLocation().matrix()) @ frames[5].getBaseLocation().matrix(), 1e-14)
    assert frames[0].getSpatialDescendants() == frames[1:] and frames[5].getSpatialAncestors() == frames[:5]
    assert frames[0].findEntity("C1/C2/C3") is frames[3] and frames[4].findEntity("/W/C0/C1") is frames[1]
    expected = frames[0].getBaseLocation().matrix() @ matrix((0, 0, 1), 0, (1, 2, 3))
    assert frames[0].translateBase((1, 2, 3), kvr.LocalFrame) == 2  # in its own axes
    assert close(frames[0].getBaseLocation(), expected, 1e-14)
    assert frames[0].rotateBase(kvr.ZAxis, 0.5) == 2  # parent axes by default
    assert close(frames[0].getBaseLocation(), matrix((0, 0, 1), 0.5, (0, 0, 0)) @ expected, 1e-14)


def test_grab_and_detach_class_filters_paths_and_time(world):
    # Floor carrying a fixture and a gripper; a part on the fixture, then grabbed by the gripper.
    floor, fixture, gripper = (kvr.KVRBasicBody3D(n) for n in ("Floor", "Fixture", "Gripper"))
    part, camera, frame = kvr.KVRBasicPart3D("Part"), kvr.KVRBasicCamera3D("C"), kvr.KVRBasicFrame3D("F")
    for e in (floor, fixture, gripper, part, camera, frame):
        world.addEntity(e)
    x_rf, x_rg, x_fp, move1, move2 = generic_poses(5, seed=4)
    for outer, inner, pose in ((floor, fixture, x_rf), (floor, gripper, x_rg), (fixture, part, x_fp)):
        outer.attachBody(inner, pose)
    assert close(part.getBaseLocation(), x_rf @ x_fp, 1e-14) and part.isAttached()
    assert part.getInnerConnection().getEntityName() == "Fixture-Part"
    gripper.grabBody(part)
    x_gp = inv(x_rg) @ x_rf @ x_fp  # where the part stood relative to the gripper
    for move in (move1, move2):
        assert gripper.setBaseLocation(move) == 2
        gripper.flushSpatialState()
        assert close(part.getBaseLocation(), move @ x_gp, 1e-14)
        assert part.getInnerBody() is gripper and part.getTransientState() == 1
    released_at = part.getBaseLocation().matrix()
    part.detachBody()  # back on the fixture, where it was let go
    assert part.getInnerBody() is fixture and part.getTransientState() == 0
    assert close(part.getBaseLocation(), released_at, 1e-14)
    assert kvr.KVRCheckModel(world) == [] and kvr.grabBody(None, part) == 0
    assert world.getEntities(kvr.KVRBasicBody3D) == [floor, fixture, gripper, part, camera]
    assert world.getEntities(kvr.KVRBasicPart3D) == [part] and world.getEntityCount(kvr.KVRBasicEntity3D) == 6
    assert frame.getLogicalAncestor(kvr.KVRBasicWorld) is world
    world.removeEntities(kvr.KVRBasicPart3D)
    assert world.getEntities() == [floor, fixture, gripper, camera, frame] and not part.hasLogicalParent()

    floor.addPath(path := kvr.KVRBasicPath3D("H"))  # reports a moved point as a route change
    points = [kvr.KVRBasicTagPoint3D(f"p{i}") for i in range(3)]
    path.setTagPoints(points)
    path.flushSpatialState()
    assert path.getTagPoints() == points and path.getIndex(points[2]) == 2
    assert points[1].getLogicalParent() is path and path.getTagPoint(7) is None
    assert path.swap(0, 2) and path.getTagPoint(0) is points[2]
    path.clearEvents()
    points[1].setTagPointLocation(((0, 1, 0), (1, 0, 0, 0)))
    points[1].flushSpatialState()
    assert path.testEvent(kvr.KVRBasicPath3D.RouteChanged)
    points[0].setDuration(2.5)
    assert points[0].getDuration() == kvr.KVRSimTime(2, 500000000)
    assert points[0].getTimingMode() == kvr.KVRBasicTagPoint3D.DurationTiming
    world.setSimulationTime(1.25)
    assert floor.getSimulationTime() == kvr.KVRSimTime(1.25) and float(floor.getSimulationTime()) == 1.25
    assert world.testEvent(kvr.KVRBasicWorld.SimulationTimeChanged)
    with pytest.raises(ValueError):
        kvr.KVRSimTime(float("nan"))
