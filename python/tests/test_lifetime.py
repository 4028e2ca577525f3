"""Lifetime across the boundary: a Python object holds its model object by the shared count, so objects
dropped in any order, a world dropped while its entities are referenced, and a carrier dropped while it
carries a body all end in defined states. Run repeatedly: a fault here shows as a crash (or, in the
sanitizer build, a report), not as a wrong number.

Scene, in world W: a floor F carrying a fixture X and a gripper G through attachments, a part P on the
fixture, a tool frame T on the gripper, a tag path H on the floor with two points; P is grabbed by G."""

import gc
import random
import subprocess
import sys
import textwrap

import pytest

import kvrworldmodel as kvr

ROUNDS = 60


def build_cell():
    u = kvr.KVRBasicUniverse.getUniverse()
    s = {"W": kvr.KVRBasicWorld("W")}
    u.addEntity(s["W"])
    for name in "FXG":
        s[name] = kvr.KVRBasicBody3D(name)
        s["W"].addEntity(s[name])
    s["P"] = kvr.KVRBasicPart3D("P")
    s["W"].addEntity(s["P"])
    s["T"] = kvr.KVRBasicFrame3D("T")
    s["G"].addFrame(s["T"])
    s["F"].attachBody(s["X"], ((1, 0, 0.8), (1, 0, 0, 0)))
    s["F"].attachBody(s["G"], ((0, 0, 1.5), (1, 0, 0, 0)))
    s["X"].attachBody(s["P"], ((0, 0, 0.05), (1, 0, 0, 0)))
    s["H"] = kvr.KVRBasicPath3D("H")
    s["F"].addPath(s["H"])
    s["H"].createPoints(2, "p", 1)
    s["G"].grabBody(s["P"])
    s["A"] = s["P"].getInnerConnection()
    s["Q"] = s["H"].getTagPoint(1)
    s["W"].flushLogicalState()
    return s


def test_objects_dropped_in_any_order_release_the_model(world):
    rng = random.Random(5)
    for _ in range(ROUNDS):
        s = build_cell()
        keep = s.pop("P")
        steps = list(s) + ["orphan"]
        rng.shuffle(steps)
        world_ = s["W"]
        for step in steps:
            if step == "orphan":
                world_.orphan()
            else:
                del s[step]
                if rng.random() < 0.3:
                    gc.collect()
        del world_
        gc.collect()
        # Only this Python object holds the part now: the model let go of everything.
        assert keep.getReferenceCount() == 1
        assert keep.isOrphaned() and keep.getWorld() is None and not keep.hasInnerBody()


def test_a_world_dropped_while_its_entities_are_referenced_leaves_them_usable():
    for _ in range(ROUNDS):
        s = build_cell()
        part, tool, path = s["P"], s["T"], s["H"]
        where = part.getBaseLocation()
        # Taken out of the universe and dropped, the world lives on through its entities' parent links.
        kvr.KVRBasicUniverse.getUniverse().removeLogicalChild(s["W"])
        s.clear()
        gc.collect()
        assert part.getWorld().getEntityName() == "W"
        assert part.getEntityName(kvr.KVRBasicEntity.FullName) == "/W/P"
        # Orphaned through any of its entities, it lets them go; they answer as entities in no world.
        part.getWorld().orphan()
        gc.collect()
        assert part.getWorld() is None and part.getLogicalParent() is None
        assert part.getBaseLocation() == where
        assert part.setBaseLocation(((0, 0, 0), (1, 0, 0, 0))) == 0  # hangs on nothing now
        assert tool.getAttachedBody() is None and path.getTagPointCount() == 0  # orphaning empties a route
        fresh = kvr.KVRBasicBody3D("Fresh")
        with pytest.raises(kvr.KVREInvalidRelation, match=r"has been orphaned and cannot be linked again"):
            fresh.attachBody(part)
        assert not part.hasInnerBody() and fresh.getOuterBodyCount() == 0


def test_a_carrier_destroyed_and_dropped_lets_go_of_the_body_it_grabbed():
    for _ in range(ROUNDS):
        s = build_cell()
        part = s["P"]
        where = part.getBaseLocation()
        assert part.getInnerBody() is s["G"] and part.getTransientState() == 1
        s["W"].destroyEntity(s["G"])
        del s["G"], s["T"], s["A"]
        gc.collect()
        assert not part.hasInnerBody() and part.getTransientState() == 0
        assert part.getBaseLocation() == where
        part.detachBody()  # nothing to give it back to: stays free
        assert not part.hasInnerBody()
        assert kvr.KVRCheckModel(s["W"]) == [] and kvr.KVRCheckModelAround([s["W"]]) == []
        s["W"].orphan()


def test_python_state_in_symbols_survives_its_wrappers_and_the_interpreter_exit():
    # Entities left in the universe at exit, one holding a symbol that calls back into Python, and
    # wrappers dropped by the interpreter in whatever order it likes: the process ends cleanly.
    script = textwrap.dedent("""
        import kvrworldmodel as kvr
        w = kvr.KVRBasicWorld("W")
        kvr.KVRBasicUniverse.getUniverse().addEntity(w)
        state = {"speed": 1.5}
        conveyor = kvr.KVRBasicBody3D("Conveyor")
        w.addEntity(conveyor)
        conveyor.addSymbol(kvr.KVRSymbolReal("speed", get=lambda: state["speed"],
                                             set=lambda v: state.update(speed=v)))
        table = kvr.KVRWDMSymbolTable(w)
        speed = table.getRealSymbol("Conveyor.speed")
        speed.setValue(2.5)
        assert state["speed"] == 2.5 and table.getRealSymbol("Conveyor.speed").getValue() == 2.5
        cycle = [w, conveyor, speed, table]
        cycle.append(cycle)
        print("ok")
        """)
    for _ in range(5):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout == "ok\n" and done.stderr == ""


def test_wrappers_are_one_per_object_and_come_back_as_the_most_derived_class(world):
    body, frame = kvr.KVRBasicBody3D("B"), kvr.KVRBasicFrame3D("T")
    world.addEntity(body)
    body.addFrame(frame)
    held = body.getReferenceCount()
    assert world.getLogicalChild("B") is body and body.getReferenceCount() == held
    del body
    gc.collect()
    again = world.getLogicalChild("B")
    assert type(again) is kvr.KVRBasicBody3D and again.getFrames() == [frame]
    assert type(frame.getSpatialParent()) is kvr.KVRBasicBody3D
    copy = again.duplicate()
    assert type(copy) is kvr.KVRBasicBody3D and copy.getEntityName() == "Copy of B"
    assert copy.getFrameCount() == 1 and copy.getFrames()[0] is not frame
    copy.orphan()
