"""Shuttles and their motion planner driven from Python: plan times as simulation times, predictions against
where carried bodies end up, refusals, and lifetime of a shuttle, its planner and its path.

Scene, in world W: a line assembly L (the root assembly) holding a shuttle S, a pallet assembly A with a
part B on it, and a route R of four tag points P0..P3 at generic poses, R itself at a generic pose on L;
P2 carries a reference frame pair (a turntable), so the leg P1-P2 is ridden on a turning frame. S carries
A; its planner is bound to R over [0, 10] s of its own axis and starts at 5 s of simulation time."""

import gc
import random

import numpy as np
import pytest

import kvrworldmodel as kvr
from conftest import generic_poses

inv = np.linalg.inv
START, SPAN = 5.0, 10.0


def close(x, m, tol=1e-12):
    return np.abs(np.asarray(x) - np.asarray(m)).max() <= tol


def straight_route(parent, *xs):
    """A route on `parent` through points on the x axis, all turned alike."""
    route = kvr.KVRBasicPath3D("Straight")
    parent.addPath(route)
    route.createPoints(len(xs), "X", 0)
    for i, x in enumerate(xs):
        route.setTagPointRelativeLocation(i, ((x, 0, 0), (1, 0, 0, 0)))
    route.flushSpatialState()
    return route


def build_line(world):
    s = {"W": world, "L": kvr.KVRBasicMfgAssembly3D("L"), "S": kvr.KVRBasicShuttle3D("S"),
         "A": kvr.KVRBasicMfgAssembly3D("A"), "B": kvr.KVRBasicPart3D("B"), "R": kvr.KVRBasicPath3D("R")}
    poses = list(generic_poses(9, seed=53))
    world.addEntity(s["L"])
    s["L"].addBody(s["S"], poses[0], kvr.Xform.Identity)
    s["L"].addBody(s["A"], poses[1], kvr.Xform.Identity)
    s["A"].addBody(s["B"], poses[2], kvr.Xform.Identity)
    s["L"].addPath(s["R"])
    s["R"].setBaseLocation(poses[3])
    s["R"].flushSpatialState()
    s["R"].createPoints(4, "P", 0)
    for i in range(4):
        s["R"].setTagPointRelativeLocation(i, poses[4 + i])
    turntable = kvr.KVRMfgAssemblyTagPointExt()
    s["R"].getTagPoint(2).addExtension(turntable)
    turntable.setReferenceFrame(poses[8], poses[8] @ next(generic_poses(1, seed=3)), s["R"])
    world.flushLogicalState()
    s["planner"] = kvr.KVRShuttlePlannerExt()
    s["S"].addExtension(s["planner"])
    s["planner"].setPath(s["R"], 0.0, SPAN)
    s["planner"].setScheduledStart(START)
    s["S"].addEntity(s["A"])
    s["S"].activate()
    return s


@pytest.fixture
def line(world):
    return build_line(world)


def test_the_plan_shares_the_span_by_length_and_its_times_cross_as_simulation_times(line):
    route = straight_route(line["L"], 0, 1, 3)
    planner = kvr.KVRShuttlePlannerExt()
    planner.setPath(route, kvr.KVRSimTime(0, 0), 6)
    times = planner.getTimes()
    assert times == [0, 2, 6] and all(type(t) is kvr.KVRSimTime for t in times)
    assert planner.getMoveTime() == (0, 6) and planner.getPath() is route and planner.isBound()

    X_RE = planner.evaluate(1)  # on the first leg, half way: in the route's coordinates
    assert close(X_RE.matrix()[:3, 3], (0.5, 0, 0), 1e-15) and planner.getCurrentDistance() == 0.5
    assert close(planner.evaluate(-1).matrix()[:3, 3], (0, 0, 0)) and planner.getCurrentDistance() == 0
    assert close(planner.evaluate(7).matrix()[:3, 3], (3, 0, 0)) and planner.getCurrentDistance() == 3

    planner.changeMoveTime(0, 12)  # each leg keeps its share
    assert planner.getTimes() == [0, 4, 12]
    route.setTagPointRelativeLocation(2, ((5, 0, 0), (1, 0, 0, 0)))
    assert planner.getTimes() == [0, 4, 12]  # the route changes at the flush
    route.flushSpatialState()
    assert planner.getTimes() == [0, 2.4, 12]  # planned again over the span last asked for

    # Times are exact to the nanosecond, a float of seconds on either side.
    planner.setPoints(kvr.KVRSimTime(0, 1), kvr.KVRSimTime(5, 1))
    assert planner.getTimes() == [kvr.KVRSimTime(0, 1), kvr.KVRSimTime(1, 1), kvr.KVRSimTime(5, 1)]
    assert 10 - planner.getTimes()[1] == kvr.KVRSimTime(8, 999999999)
    assert float(planner.getTimes()[2]) == pytest.approx(5.000000001, abs=1e-15)

    route.getTagPoint(0).setDuration(1)
    route.getTagPoint(1).setDuration(2)
    planner.setCustomFlag(1)  # legs take their start point's own duration; the last takes the rest
    planner.setPoints(0, 10)
    assert planner.getCustomFlag() == 1 and planner.getTimes() == [0, 1, 10]


def test_a_move_is_active_after_the_scheduled_start_up_to_the_end_of_the_plan(line):
    planner = kvr.KVRShuttlePlannerExt()
    assert planner.getScheduledStart() == kvr.KVRShuttlePlannerExt.DefaultScheduledStart == 4294967295.0
    assert not planner.isActive(1) and planner.getMoveTime() is None and planner.evaluate(1) is None
    planner.setPath(straight_route(line["L"], 0, 1, 3), 0, 12)
    planner.setScheduledStart(10)
    assert [planner.isActive(t) for t in (10, 10.001, 22, 22.001)] == [False, True, True, False]
    planner.setScheduledStart(0)
    assert planner.isActive(0)  # the start instant counts only at time zero
    assert "Times: 0 4 12" in planner.dumpTimes() and planner.dumpPath().startswith("Legs: 2")


def test_a_predicted_pose_is_where_the_body_ends_up_once_the_shuttle_is_moved_and_flushed(line):
    s, b, a, planner = line["S"], line["B"], line["A"], line["planner"]
    X_WR = line["R"].getBaseLocation().matrix()
    # Through every leg, the turntable's included, and the end of the move.
    for t in (5.3, 6.9, 8.2, 11.0, 13.7, 15.0):
        predicted = kvr.KVRBasicShuttle3D.evaluateBodyPosition(b, t)
        assert kvr.KVRBasicShuttle3D.getDriverShuttle(b, t) == (a, s)  # the pallet is what S carries
        X_RS = s.evaluateShuttlePosition(t)
        assert s.isMotionActive(t) and predicted is not None and X_RS is not None
        assert planner.moveBasicObject(t - planner.getScheduledStart()) == 2
        s.flushSpatialState()
        assert close(b.getBaseLocation().matrix(), predicted.matrix())
        assert close(s.getBaseLocation().matrix(), X_WR @ X_RS.matrix())

    # The velocity in world axes is the shuttle's move over the next VelocityStep.
    step = kvr.KVRShuttlePlannerExt.VelocityStep
    moved = []
    for t in (7.0, 7.0 + step):
        planner.moveBasicObject(t - START)
        moved.append(s.getBaseLocation().matrix()[:3, 3])
    velocity = kvr.KVRBasicShuttle3D.evaluateBodyVelocity(b, 7.0)
    assert close(np.asarray(velocity), (moved[1] - moved[0]) / step, 1e-9)
    assert close(np.asarray(s.evaluateShuttleVelocity(7.0)), inv(X_WR[:3, :3]) @ np.asarray(velocity), 1e-12)

    # Before the scheduled start (and at it) and after the end no shuttle drives the body.
    for t in (4.9, START, START + SPAN + 0.001):
        assert kvr.KVRBasicShuttle3D.evaluateBodyPosition(b, t) is None
        assert kvr.KVRBasicShuttle3D.getDriverShuttle(b, t) is None
    assert s.evaluateShuttlePosition(4.9) is None and s.evaluateShuttleVelocity(START + SPAN + 0.06) is None
    assert kvr.KVRBasicShuttle3D.evaluateBodyVelocity(b, 4.9) is None

    lines = s.dump().splitlines()
    assert lines[1] == "/W/L/S ( KVRBasicShuttle3D ) " and lines[3] == "Body count = 1"
    assert lines[6] == "Entity name = /W/L/A" and len(lines) == 9


def test_a_carried_shuttle_takes_its_path_along(line):
    inner, route, planner = line["S"], line["R"], line["planner"]
    outer = kvr.KVRBasicShuttle3D("O")
    line["L"].addBody(outer, next(generic_poses(1, seed=61)), kvr.Xform.Identity)
    outer.addEntity(inner)
    outer.activate()
    X_OR = inv(outer.getBaseLocation().matrix()) @ route.getBaseLocation().matrix()
    assert close(planner.getShuttlePathXform().matrix(), X_OR)
    move = next(generic_poses(1, seed=62))
    outer.setBaseLocation(move)
    outer.flushSpatialState()
    assert close(route.getBaseLocation().matrix(), move @ X_OR)


def test_refusals_raise_the_models_exceptions_and_change_nothing(line):
    s, route, planner = line["S"], line["R"], line["planner"]
    times = planner.getTimes()
    other = straight_route(line["L"], 0, 1)
    with pytest.raises(kvr.KVREAlreadyRegistered, match="^Motion planner already in use$"):
        planner.setPath(other, 0, 1)
    assert planner.getPath() is route and planner.getTimes() == times

    with pytest.raises(kvr.KVREAlreadyRegistered, match="^An extension of the same class is already attached"):
        s.addExtension(kvr.KVRShuttlePlannerExt())
    assert s.getPlanner() is planner and s.getExtensionCount() == 1

    fresh = kvr.KVRShuttlePlannerExt()
    with pytest.raises(kvr.KVREInvalidArgument, match="^An empty handle was given as the path of a motion planner$"):
        fresh.setPath(None, 0, 1)
    gone = kvr.KVRBasicPath3D("Gone")
    gone.orphan()
    with pytest.raises(kvr.KVREInvalidRelation, match="has been orphaned and cannot be linked again$"):
        fresh.setPath(gone, 0, 1)
    with pytest.raises(TypeError):
        fresh.setPath(other, float("nan"), 1)  # no time: refused before the call
    assert not fresh.isBound() and fresh.getTimes() == []

    for ask in (kvr.KVRBasicShuttle3D.getDriverShuttle, kvr.KVRBasicShuttle3D.evaluateBodyPosition,
                kvr.KVRBasicShuttle3D.evaluateBodyVelocity):
        with pytest.raises(kvr.KVREInvalidArgument, match="^An empty handle was given as the body a shuttle carries$"):
            ask(None, 7)

    holder = kvr.KVRBasicEntity("Holder")  # no place in space to move to
    holder.addExtension(fresh)
    fresh.setPath(other, 0, 1)
    with pytest.raises(kvr.KVREInvalidCast):
        fresh.moveBasicObject(0.5)
    assert fresh.getCurrentDistance() == 0


def test_a_shuttle_its_planner_and_its_path_dropped_in_any_order_release_the_model():
    rng = random.Random(13)
    universe = kvr.KVRBasicUniverse.getUniverse()
    for _ in range(40):
        world = kvr.KVRBasicWorld("W")
        universe.addEntity(world)
        s = build_line(world)
        keep = s.pop("B")
        s["planner"].moveBasicObject(3)
        steps = list(s) + ["orphan", "unbind", "remove"]
        rng.shuffle(steps)
        del world
        for step in steps:
            if step == "orphan":
                universe.getLogicalChild("W").orphan()
            elif step == "unbind" and "planner" in s:
                s["planner"].clearPath()
            elif step == "remove" and "S" in s:
                s["S"].removeExtension(kvr.KVRShuttlePlannerExt)
            elif step in s:
                del s[step]
            if rng.random() < 0.3:
                gc.collect()
        s.clear()
        gc.collect()
        # Only this Python object holds the part now: the model let go of everything.
        assert keep.getReferenceCount() == 1 and keep.isOrphaned() and keep.getWorld() is None


@pytest.mark.parametrize("how", ["orphaned", "dropped", "removed"])
def test_a_planner_that_outlives_its_shuttle_answers_as_an_unbound_planner(line, how):
    s, route, planner = line["S"], line["R"], line["planner"]
    held = route.getReferenceCount()
    if how == "orphaned":
        s.orphan()
    elif how == "dropped":  # taken out of the line, the last handle on the shuttle is this script's
        line["L"].removeBody(s)
        del s, line["S"]
        gc.collect()
    else:
        assert s.removeExtension(kvr.KVRShuttlePlannerExt) and s.getPlanner() is None
    assert planner.isOrphaned() and planner.getBasicObject() is None
    assert planner.getPath() is None and route.getReferenceCount() == held - 1
    assert planner.getTimes() == [] and planner.getMoveTime() is None and planner.evaluate(1) is None
    assert planner.moveBasicObject(1) == 0 and not planner.isActive(7)
    with pytest.raises(kvr.KVREInvalidRelation, match="^An orphaned motion planner cannot be bound to a path$"):
        planner.setPath(route, 0, 1)
    route.setTagPointRelativeLocation(1, ((0, 0, 0), (1, 0, 0, 0)))
    route.flushSpatialState()  # no planner follows the route any more
    assert planner.getTimes() == [] and kvr.KVRBasicShuttle3D.evaluateBodyPosition(line["B"], 7) is None


def test_one_clock_one_flush_and_why_a_part_is_not_driven_as_a_newcomer_meets_them(line):
    """A script that moves the shuttle by simulation time, flushes the world once and asks why a
    part is not driven gets the pose the look-ahead predicted and a reason naming what failed."""
    w, s, b, planner = line["W"], line["S"], line["B"], line["planner"]
    Drive = kvr.KVRBasicShuttle3D.Drive
    why = kvr.KVRBasicShuttle3D.diagnoseDriving

    t = START + 4.2
    predicted = kvr.KVRBasicShuttle3D.evaluateBodyPosition(b, t)
    assert why(b, t) and why(b, t).carried == line["A"] and why(b, t).shuttle == s
    assert planner.moveAtSimulationTime(t) == 2
    w.flushWorld()
    assert close(b.getBaseLocation(), predicted)
    assert b.getBaseLocation().isApprox(b.computeBaseLocation(), 1e-12)
    for outside in (START - 0.5, START + SPAN + 0.5):
        with pytest.raises(kvr.KVREInvalidArgument, match="is scheduled from 5.000000 s to 15.000000 s"):
            planner.moveAtSimulationTime(outside)
    assert close(b.getBaseLocation(), predicted)

    late = why(b, START + SPAN + 1)
    assert (late.drive, bool(late)) == (Drive.NotActive, False)
    assert str(late) == "/W/L/S, which carries /W/L/A, moves from 5.000000 s to 15.000000 s of simulation time, " \
                        "not at 16.000000 s"
    assert repr(late).startswith("<DriveDiagnosis NotActive: /W/L/S")
    planner.setScheduledStart(kvr.KVRShuttlePlannerExt.DefaultScheduledStart)
    assert why(b, t).drive == Drive.NotScheduled and kvr.KVRBasicShuttle3D.getDriverShuttle(b, t) is None
    loose = kvr.KVRBasicBody3D("Loose")
    w.addEntity(loose)
    assert why(loose, t).drive == Drive.NotCarried
    assert why(kvr.KVRBasicBody3D("Alone"), t).drive == Drive.NoWorld


def test_many_poses_cross_at_once_and_a_bad_one_moves_nothing(line):
    w = line["W"]
    batch = kvr.KVRPoseBatch.subtree(w)
    names = [e.getEntityName() for e in batch.entities]
    assert names[:3] == ["L", "S", "A"] and len(batch) == len(names) and "P3" in names
    poses = batch.getBaseLocations()
    assert poses.shape == (len(batch), 4, 4)
    for entity, pose in zip(batch.entities, poses):
        assert close(entity.getBaseLocation(), pose)
    out = np.empty_like(poses)
    assert batch.getBaseLocations(out) is not None and np.array_equal(out, poses)
    assert np.array_equal(kvr.getBaseLocations(batch.entities[:2]), poses[:2])

    parts = kvr.KVRPoseBatch([line["R"], line["R"].getTagPoint(0)])
    before = parts.getBaseLocations()
    bad = np.stack([np.eye(4), np.eye(4)])
    bad[1, 0, 0] = 2.0
    with pytest.raises(kvr.KVREInvalidArgument, match="Relative location 1 of a KVRPoseBatch"):
        parts.setRelativeLocations(bad)
    with pytest.raises(ValueError, match=r"shape \(2, 4, 4\)"):
        parts.setRelativeLocations(np.eye(4))
    w.flushWorld()
    assert np.array_equal(parts.getBaseLocations(), before)
    shifted = np.stack([np.eye(4)] * 2)
    shifted[:, 0, 3] = (1.0, 2.0)
    assert list(parts.setRelativeLocations(shifted)) == [2, 2]
    w.flushWorld()
    for entity, relative in zip(parts.entities, shifted):
        assert close(entity.getBaseLocation(), entity.getSpatialParent().getBaseLocation().matrix() @ relative)
    with pytest.raises(TypeError, match="item 1 is 'B'"):
        kvr.KVRPoseBatch([line["A"], "B"])
