"""The model driven from Python behaves as in C++: locations checked against NumPy matrix products,
carrying checked against the pose a body had relative to its carrier, trees, paths and events."""

import numpy as np
import pytest

import kvrworldmodel as kvr
from conftest import generic_poses

E = kvr.KVRBasicEntity


def close(x, m, tol=1e-14):
    return np.abs(x.matrix() - m).max() <= tol


@pytest.fixture
def chain(world):
    """Frames C0 (in W) -> C1 -> ... -> C5, each at a generic pose relative to its parent."""
    poses = list(generic_poses(6, seed=21))
    frames = [kvr.KVRBasicFrame3D(f"C{i}") for i in range(6)]
    world.addEntity(frames[0])
    for parent, child, pose in zip(frames, frames[1:], poses[1:]):
        parent.addLogicalChild(child)
        parent.addSpatialChild(child)
        child.setFrameLocation(pose)
    world.flushLogicalState()
    frames[0].flushBaseLocation()
    return frames, poses


def test_descendants_follow_a_move_at_the_flush_and_not_before(chain):
    frames, poses = chain
    target = next(generic_poses(1, seed=99))
    before = [f.getBaseLocation() for f in frames]
    assert frames[0].setBaseLocation(target) == 2
    assert frames[0].testEvent(kvr.KVRBasicEntity3D.BaseLocationChanged)
    assert frames[0].getPendingEvents() & (1 << kvr.KVRBasicEntity3D.LocationSet)
    assert [f.getBaseLocation() for f in frames[1:]] == before[1:]
    frames[0].flushSpatialState()
    expected = target
    for frame, pose in zip(frames[1:], poses[1:]):
        expected = expected @ pose
        assert close(frame.getBaseLocation(), expected)
    assert frames[0].getPendingEvents() == 0
    # Relative to another entity of the tree: X_C2C5 = X_WC2^-1 X_WC5.
    x_25 = frames[5].getBaseLocation(frames[2])
    assert close(x_25, np.linalg.inv(frames[2].getBaseLocation().matrix()) @ frames[5].getBaseLocation().matrix())
    assert frames[0].getSpatialDescendants() == frames[1:]
    assert frames[5].getSpatialAncestors() == frames[:5]
    assert frames[0].findEntity("C1/C2/C3") is frames[3]
    assert frames[4].findEntity("/W/C0/C1") is frames[1]  # a full name, from the world


def test_moves_in_local_and_parent_axes_and_relative_to_another_entity(chain):
    frames, _ = chain
    root = frames[0]
    start = root.getBaseLocation().matrix()
    assert root.translateBase((1, 2, 3), kvr.LocalFrame) == 2
    expected = start.copy()
    expected[:3, 3] += start[:3, :3] @ np.array([1, 2, 3])
    assert close(root.getBaseLocation(), expected)
    assert root.rotateBase(kvr.ZAxis, 0.5) == 2  # parent axes by default
    rz = np.eye(4)
    rz[:2, :2] = [[np.cos(0.5), -np.sin(0.5)], [np.sin(0.5), np.cos(0.5)]]
    assert close(root.getBaseLocation(), rz @ expected)


def test_a_grabbed_part_keeps_where_it_stood_relative_to_the_gripper_and_goes_back_on_detach(world):
    floor, fixture, gripper = (kvr.KVRBasicBody3D(n) for n in ("Floor", "Fixture", "Gripper"))
    part = kvr.KVRBasicPart3D("Part")
    for b in (floor, fixture, gripper, part):
        world.addEntity(b)
    x_rf, x_rg, x_fp, move1, move2 = generic_poses(5, seed=4)
    floor.attachBody(fixture, x_rf)
    floor.attachBody(gripper, x_rg)
    fixture.attachBody(part, x_fp)
    assert close(part.getBaseLocation(), x_rf @ x_fp)
    assert part.getInnerConnection().getEntityName() == "Fixture-Part" and part.isAttached()

    gripper.grabBody(part)
    x_gp = np.linalg.inv(x_rg) @ x_rf @ x_fp  # where the part stood relative to the gripper
    assert gripper.setBaseLocation(move1) == 2
    gripper.flushSpatialState()
    assert close(part.getBaseLocation(), move1 @ x_gp)
    assert part.getInnerBody() is gripper and part.getTransientState() == 1

    gripper.setBaseLocation(move2)
    gripper.flushSpatialState()
    released_at = part.getBaseLocation().matrix()
    assert np.abs(released_at - move2 @ x_gp).max() < 1e-14
    part.detachBody()
    assert part.getInnerBody() is fixture and part.getTransientState() == 0
    assert close(part.getBaseLocation(), released_at)
    fixture.setBaseLocation(x_rf @ move1)
    fixture.flushSpatialState()
    assert close(part.getBaseLocation(), x_rf @ move1 @ np.linalg.inv(x_rf) @ released_at, 1e-13)
    assert kvr.KVRCheckModel(world) == []
    assert kvr.grabBody(None, part) == 0


def test_class_filters_select_the_class_and_its_subclasses(world):
    body, part, camera, frame = (kvr.KVRBasicBody3D("B"), kvr.KVRBasicPart3D("P"), kvr.KVRBasicCamera3D("C"),
                                 kvr.KVRBasicFrame3D("F"))
    for e in (body, part, camera, frame):
        world.addEntity(e)
    assert world.getEntities(kvr.KVRBasicBody3D) == [body, part, camera]
    assert world.getEntities(kvr.KVRBasicPart3D) == [part]
    assert world.getEntityCount(kvr.KVRBasicEntity3D) == 4
    assert frame.getLogicalAncestor(kvr.KVRBasicWorld) is world
    assert [e.getClassName() for e in (body, part, camera)] == ["KVRBasicBody3D", "KVRBasicPart3D",
                                                               "KVRBasicCamera3D"]
    world.removeEntities(kvr.KVRBasicPart3D)
    assert world.getEntities() == [body, camera, frame] and not part.hasLogicalParent()


def test_a_path_reports_a_moved_point_as_a_route_change(world):
    body, path = kvr.KVRBasicBody3D("B"), kvr.KVRBasicPath3D("H")
    world.addEntity(body)
    body.addPath(path)
    points = [kvr.KVRBasicTagPoint3D(f"p{i}") for i in range(3)]
    path.setTagPoints(points)
    path.flushSpatialState()
    assert path.getTagPoints() == points and path.getIndex(points[2]) == 2
    assert points[1].getLogicalParent() is path
    assert path.swap(0, 2) and path.getTagPoint(0) is points[2]
    path.clearEvents()
    points[1].setTagPointLocation(((0, 1, 0), (1, 0, 0, 0)))
    points[1].flushSpatialState()
    assert path.testEvent(kvr.KVRBasicPath3D.RouteChanged)
    assert path.getTagPoint(7) is None
    points[0].setDuration(2.5)
    assert points[0].getDuration() == kvr.KVRSimTime(2, 500000000)
    assert points[0].getTimingMode() == kvr.KVRBasicTagPoint3D.DurationTiming


def test_simulation_time_is_the_worlds(world):
    body = kvr.KVRBasicBody3D("B")
    world.addEntity(body)
    world.setSimulationTime(1.25)
    assert body.getSimulationTime() == kvr.KVRSimTime(1.25) and float(body.getSimulationTime()) == 1.25
    assert world.testEvent(kvr.KVRBasicWorld.SimulationTimeChanged)
    with pytest.raises(ValueError):
        kvr.KVRSimTime(float("nan"))
