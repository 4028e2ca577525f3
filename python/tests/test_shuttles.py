"""Shuttles and their planner from Python. Scene, in world W: the root assembly L holds a shuttle S, a pallet
assembly A with a part B, and a route R (at a generic pose) of points P0..P3; P2 has a turntable (reference
frames). S carries A; its planner follows R over [0, 10] s of its own axis from 5 s of simulation time."""

import gc

import numpy as np
import pytest
import kvrworldmodel as kvr
from conftest import close, generic_poses, matrix

inv = np.linalg.inv
START, SPAN = 5.0, 10.0
Shuttle = kvr.KVRBasicShuttle3D


def add_route(parent, name, poses):
    """A route on `parent` through tag points P0, P1, ... at `poses` relative to the route."""
    route = kvr.KVRBasicPath3D(name)
    parent.addPath(route)
    route.createPoints(len(poses), "P", 0)
    for i, pose in enumerate(poses):
        route.setTagPointRelativeLocation(i, pose)
    route.flushSpatialState()
    return route


def build_line(world):
    s = {"W": world, "L": kvr.KVRBasicMfgAssembly3D("L"), "S": Shuttle("S"),
         "A": kvr.KVRBasicMfgAssembly3D("A"), "B": kvr.KVRBasicPart3D("B")}
    poses = list(generic_poses(9, seed=53))
    world.addEntity(s["L"])
    for k, (on, body) in enumerate(("LS", "LA", "AB")):
        s[on].addBody(s[body], poses[k], kvr.Xform.Identity)
    s["R"] = add_route(s["L"], "R", poses[4:8])
    s["R"].setBaseLocation(poses[3])
    s["R"].flushSpatialState()
    s["R"].getTagPoint(2).addExtension(turntable := kvr.KVRMfgAssemblyTagPointExt())
    turntable.setReferenceFrame(poses[8], poses[8] @ next(generic_poses(1, seed=3)), s["R"])
    world.flushLogicalState()
    s["S"].addExtension(s.setdefault("planner", kvr.KVRShuttlePlannerExt()))
    s["planner"].setPath(s["R"], 0.0, SPAN)
    s["planner"].setScheduledStart(START)
    s["S"].addEntity(s["A"])
    s["S"].activate()
    return s


@pytest.fixture
def line(world):
    return build_line(world)


def test_the_plan_speaks_simulation_times_and_refusals_change_nothing(line):
    planner = kvr.KVRShuttlePlannerExt()
    assert planner.getScheduledStart() == kvr.KVRShuttlePlannerExt.DefaultScheduledStart == 4294967295.0
    assert not planner.isActive(1) and planner.getMoveTime() is None and planner.evaluate(1) is None
    route = add_route(line["L"], "Straight", [((x, 0, 0), (1, 0, 0, 0)) for x in (0, 1, 5)])
    with pytest.raises(kvr.KVREInvalidArgument, match="^An empty handle was given as the path of a motion planner$"):
        planner.setPath(None, 0, 1)
    (gone := kvr.KVRBasicPath3D("Gone")).orphan()
    with pytest.raises(kvr.KVREInvalidRelation, match="has been orphaned and cannot be linked again$"):
        planner.setPath(gone, 0, 1)
    with pytest.raises(TypeError):
        planner.setPath(route, float("nan"), 1)
    assert not planner.isBound() and planner.getTimes() == []
    planner.setPath(route, kvr.KVRSimTime(0, 0), 10)  # legs share the span by length
    times = planner.getTimes()
    assert times == [0, 2, 10] and all(type(t) is kvr.KVRSimTime for t in times)
    assert planner.getMoveTime() == (0, 10) and planner.getPath() is route and planner.isBound()
    assert close(planner.evaluate(1).matrix()[:3, 3], (0.5, 0, 0), 1e-15) and planner.getCurrentDistance() == 0.5
    planner.setScheduledStart(10)
    assert [planner.isActive(t) for t in (10, 10.001)] == [False, True]
    assert "Times: 0 2 10" in planner.dumpTimes() and planner.dumpPath().startswith("Legs: 2")
    planner.setPoints(kvr.KVRSimTime(0, 1), kvr.KVRSimTime(5, 1))  # to the nanosecond
    assert planner.getTimes() == [kvr.KVRSimTime(0, 1), kvr.KVRSimTime(1, 1), kvr.KVRSimTime(5, 1)]
    assert 10 - planner.getTimes()[1] == kvr.KVRSimTime(8, 999999999)
    assert float(planner.getTimes()[2]) == pytest.approx(5.000000001, abs=1e-15)

    # The line's planner is in use and S takes no second one; nothing changes.
    times = line["planner"].getTimes()
    with pytest.raises(kvr.KVREAlreadyRegistered, match="^Motion planner already in use$"):
        line["planner"].setPath(route, 0, 1)
    assert line["planner"].getPath() is line["R"] and line["planner"].getTimes() == times
    with pytest.raises(kvr.KVREAlreadyRegistered, match="^An extension of the same class is already attached"):
        line["S"].addExtension(kvr.KVRShuttlePlannerExt())
    assert line["S"].getPlanner() is line["planner"] and line["S"].getExtensionCount() == 1
    for ask in (Shuttle.getDriverShuttle, Shuttle.evaluateBodyPosition, Shuttle.evaluateBodyVelocity):
        with pytest.raises(kvr.KVREInvalidArgument, match="^An empty handle was given as the body a shuttle carries$"):
            ask(None, 7)
    holder, distance = kvr.KVRBasicEntity("Holder"), planner.getCurrentDistance()
    holder.addExtension(planner)  # no place in space to move to
    with pytest.raises(kvr.KVREInvalidCast):
        planner.moveBasicObject(0.5)
    assert planner.getCurrentDistance() == distance


def test_a_predicted_pose_is_where_the_body_ends_up_once_the_shuttle_is_moved_and_flushed(line):
    w, s, b, a, planner = line["W"], line["S"], line["B"], line["A"], line["planner"]
    Drive, why = Shuttle.Drive, Shuttle.diagnoseDriving
    X_WR = line["R"].getBaseLocation().matrix()
    for t in (5.3, 6.9, 8.2, 11.0, 13.7, 15.0):  # every leg, the turntable's included, and the end
        predicted, X_RS, d = Shuttle.evaluateBodyPosition(b, t), s.evaluateShuttlePosition(t), why(b, t)
        assert Shuttle.getDriverShuttle(b, t) == (a, s) and d and (d.shuttle, d.carried) == (s, a)
        assert s.isMotionActive(t) and predicted is not None and X_RS is not None
        assert planner.moveAtSimulationTime(t) == 2  # one clock, one flush
        w.flushWorld()
        assert close(b.getBaseLocation(), predicted) and close(s.getBaseLocation(), X_WR @ X_RS.matrix())
        assert b.getBaseLocation().isApprox(b.computeBaseLocation(), 1e-12)
    for outside in (START - 0.5, START + SPAN + 0.5):
        with pytest.raises(kvr.KVREInvalidArgument, match="is scheduled from 5.000000 s to 15.000000 s"):
            planner.moveAtSimulationTime(outside)
    assert close(b.getBaseLocation(), predicted)
    step, moved = kvr.KVRShuttlePlannerExt.VelocityStep, []
    for t in (7.0, 7.0 + step):
        assert planner.moveBasicObject(t - START) == 2
        moved.append(s.getBaseLocation().matrix()[:3, 3])
    velocity = np.asarray(Shuttle.evaluateBodyVelocity(b, 7.0))
    assert close(velocity, (moved[1] - moved[0]) / step, 1e-9)
    assert close(np.asarray(s.evaluateShuttleVelocity(7.0)), inv(X_WR[:3, :3]) @ velocity)
    # Before the scheduled start (and at it) and after the end no shuttle drives the body, and why says so.
    for t in (4.9, START, START + SPAN + 0.001):
        assert Shuttle.evaluateBodyPosition(b, t) is None and Shuttle.getDriverShuttle(b, t) is None
    assert s.evaluateShuttlePosition(4.9) is s.evaluateShuttleVelocity(START + SPAN + 0.06) is None
    assert Shuttle.evaluateBodyVelocity(b, 4.9) is None
    late = why(b, START + SPAN + 1)
    assert (late.drive, bool(late)) == (Drive.NotActive, False)
    assert str(late) == "/W/L/S, which carries /W/L/A, moves from 5.000000 s to 15.000000 s of simulation time, " \
                        "not at 16.000000 s"
    assert repr(late).startswith("<DriveDiagnosis NotActive: /W/L/S")
    lines = s.dump().splitlines()
    assert (lines[1], lines[3], lines[6], len(lines)) == ("/W/L/S ( KVRBasicShuttle3D ) ", "Body count = 1",
                                                          "Entity name = /W/L/A", 9)
    planner.setScheduledStart(kvr.KVRShuttlePlannerExt.DefaultScheduledStart)
    assert why(b, 10).drive == Drive.NotScheduled and Shuttle.getDriverShuttle(b, 10) is None
    w.addEntity(loose := kvr.KVRBasicBody3D("Loose"))
    assert why(loose, 10).drive == Drive.NotCarried and why(kvr.KVRBasicBody3D("Alone"), 10).drive == Drive.NoWorld

    line["L"].addBody(outer := Shuttle("O"), next(generic_poses(1, seed=61)), kvr.Xform.Identity)
    outer.addEntity(s)  # S, carried, takes its path along
    outer.activate()
    X_OR = inv(outer.getBaseLocation().matrix()) @ line["R"].getBaseLocation().matrix()
    assert close(planner.getShuttlePathXform(), X_OR)
    assert outer.setBaseLocation(move := next(generic_poses(1, seed=62))) == 2
    outer.flushSpatialState()
    assert close(line["R"].getBaseLocation(), move @ X_OR)


@pytest.mark.parametrize("how", ["orphaned", "dropped", "removed"])
def test_a_planner_that_outlives_its_shuttle_answers_as_an_unbound_planner(line, how):
    s, route, planner, held = line["S"], line["R"], line["planner"], line["R"].getReferenceCount()
    if how == "orphaned":
        s.orphan()
    elif how == "dropped":  # taken out of the line, the last handle on the shuttle is this script's
        line["L"].removeBody(s)
        del s, line["S"]
        gc.collect()
    else:
        assert s.removeExtension(kvr.KVRShuttlePlannerExt) and s.getPlanner() is None
    assert planner.isOrphaned() and planner.getBasicObject() is None and planner.getPath() is None
    assert route.getReferenceCount() == held - 1
    assert planner.getTimes() == [] and planner.getMoveTime() is None and planner.evaluate(1) is None
    assert planner.moveBasicObject(1) == 0 and not planner.isActive(7)
    with pytest.raises(kvr.KVREInvalidRelation, match="^An orphaned motion planner cannot be bound to a path$"):
        planner.setPath(route, 0, 1)
    route.setTagPointRelativeLocation(1, ((0, 0, 0), (1, 0, 0, 0)))
    route.flushSpatialState()  # no planner follows the route any more
    assert planner.getTimes() == [] and Shuttle.evaluateBodyPosition(line["B"], 7) is None


def test_many_poses_cross_at_once_and_a_bad_one_moves_nothing(line):
    w, batch = line["W"], kvr.KVRPoseBatch.subtree(line["W"])
    names = [e.getEntityName() for e in batch.entities]
    assert names[:3] == ["L", "S", "A"] and len(batch) == len(names) and "P3" in names
    assert (poses := batch.getBaseLocations()).shape == (len(batch), 4, 4)
    assert all(close(entity.getBaseLocation(), pose) for entity, pose in zip(batch.entities, poses))
    assert batch.getBaseLocations(out := np.empty_like(poses)) is not None and np.array_equal(out, poses)
    assert np.array_equal(kvr.getBaseLocations(batch.entities[:2]), poses[:2])
    parts = kvr.KVRPoseBatch([line["R"], line["R"].getTagPoint(0)])
    before = parts.getBaseLocations()
    with pytest.raises(kvr.KVREInvalidArgument, match="Relative location 1 of a KVRPoseBatch"):
        parts.setRelativeLocations(np.stack([np.eye(4), np.diag([2.0, 1, 1, 1])]))
    with pytest.raises(ValueError, match=r"shape \(2, 4, 4\)"):
        parts.setRelativeLocations(np.eye(4))
    w.flushWorld()
    assert np.array_equal(parts.getBaseLocations(), before)
    shifted = np.stack([matrix((0, 0, 1), 0, (x, 0, 0)) for x in (1.0, 2.0)])
    assert list(parts.setRelativeLocations(shifted)) == [2, 2]
    w.flushWorld()
    for entity, relative in zip(parts.entities, shifted):
        assert close(entity.getBaseLocation(), entity.getSpatialParent().getBaseLocation().matrix() @ relative)
    with pytest.raises(TypeError, match="item 1 is 'B'"):
        kvr.KVRPoseBatch([line["A"], "B"])
