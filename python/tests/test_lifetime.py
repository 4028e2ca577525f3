"""Lifetime across the boundary, run repeatedly: a fault shows as a crash or a sanitizer report. Scene, in world
W: a floor F carrying a fixture X and a gripper G, a part P on X, a frame T on X, a tag path H on F with two
points; G grabs P."""

import gc
import random
import subprocess
import sys
import textwrap
import pytest
import kvrworldmodel as kvr
from test_shuttles import build_line

ROUNDS = 60


def build_cell():
    s = {"W": kvr.KVRBasicWorld("W"), "P": kvr.KVRBasicPart3D("P"), "T": kvr.KVRBasicFrame3D("T"),
         "H": kvr.KVRBasicPath3D("H"), **{name: kvr.KVRBasicBody3D(name) for name in "FXG"}}
    kvr.KVRBasicUniverse.getUniverse().addEntity(s["W"])
    for name in "FXGP":
        s["W"].addEntity(s[name])
    s["X"].addFrame(s["T"])
    for outer, inner, z in (("F", "X", 0.8), ("F", "G", 1.5), ("X", "P", 0.05)):
        s[outer].attachBody(s[inner], ((1 if inner == "X" else 0, 0, z), (1, 0, 0, 0)))
    s["F"].addPath(s["H"])
    s["H"].createPoints(2, "p", 1)
    s["G"].grabBody(s["P"])
    s["A"], s["Q"] = s["P"].getInnerConnection(), s["H"].getTagPoint(1)
    s["W"].flushLogicalState()
    return s


def test_objects_dropped_in_any_order_release_the_model():
    # The cell and, in the same world, the line of test_shuttles.
    rng = random.Random(5)
    universe = kvr.KVRBasicUniverse.getUniverse()
    for _ in range(ROUNDS):
        s = build_cell()
        s.update({"line " + k: v for k, v in build_line(s["W"]).items() if k != "W"})
        keep = s.pop("P"), s.pop("line B")
        s["line planner"].moveBasicObject(3)
        for step in rng.sample(list(s) + ["orphan", "unbind", "remove"], len(s) + 3):
            if step == "orphan":
                universe.getLogicalChild("W").orphan()
            elif step == "unbind" and "line planner" in s:
                s["line planner"].clearPath()
            elif step == "remove" and "line S" in s:
                s["line S"].removeExtension(kvr.KVRShuttlePlannerExt)
            elif step in s:
                del s[step]
            if rng.random() < 0.3:
                gc.collect()
        gc.collect()
        for part in keep:  # only this Python object holds the part now: the model let go of everything
            assert part.getReferenceCount() == 1 and part.isOrphaned()
            assert part.getWorld() is None and not part.hasInnerBody()


def test_a_carrier_destroyed_or_a_world_dropped_leaves_the_entities_still_referenced_usable():
    for _ in range(ROUNDS):
        s = build_cell()
        part, tool, path = s["P"], s["T"], s["H"]
        where = part.getBaseLocation()
        assert part.getInnerBody() is s["G"] and part.getTransientState() == 1
        s["W"].destroyEntity(s["G"])  # destroyed and dropped, the gripper lets go of the part
        del s["G"], s["A"]
        gc.collect()
        assert not part.hasInnerBody() and part.getTransientState() == 0 and part.getBaseLocation() == where
        part.detachBody()  # nothing to give it back to: stays free
        assert not part.hasInnerBody() and kvr.KVRCheckModel(s["W"]) == kvr.KVRCheckModelAround([s["W"]]) == []
        # Taken out of the universe and dropped, the world lives on through its entities' parent links.
        kvr.KVRBasicUniverse.getUniverse().removeLogicalChild(s["W"])
        s.clear()
        gc.collect()
        assert part.getWorld().getEntityName() == "W" and part.getEntityName(kvr.KVRBasicEntity.FullName) == "/W/P"
        part.getWorld().orphan()  # orphaned, it lets its entities go: they answer as entities in no world
        gc.collect()
        assert part.getWorld() is None and part.getLogicalParent() is None and part.getBaseLocation() == where
        assert part.setBaseLocation(((0, 0, 0), (1, 0, 0, 0))) == 0  # hangs on nothing now
        assert tool.getAttachedBody() is None and path.getTagPointCount() == 0  # orphaning empties a route
        fresh = kvr.KVRBasicBody3D("Fresh")
        with pytest.raises(kvr.KVREInvalidRelation, match=r"has been orphaned and cannot be linked again"):
            fresh.attachBody(part)
        assert not part.hasInnerBody() and fresh.getOuterBodyCount() == 0


def test_python_state_in_symbols_survives_its_wrappers_and_the_interpreter_exit():
    # Entities left in the universe at exit, a symbol calling back into Python, wrappers dropped in any order.
    script = textwrap.dedent("""
        import kvrworldmodel as kvr
        w, conveyor, state = kvr.KVRBasicWorld("W"), kvr.KVRBasicBody3D("Conveyor"), {"speed": 1.5}
        kvr.KVRBasicUniverse.getUniverse().addEntity(w); w.addEntity(conveyor)
        conveyor.addSymbol(kvr.KVRSymbolReal("speed", get=lambda: state["speed"], set=lambda v: state.update(speed=v)))
        table = kvr.KVRWDMSymbolTable(w)
        (speed := table.getRealSymbol("Conveyor.speed")).setValue(2.5)
        assert state["speed"] == 2.5 and table.getRealSymbol("Conveyor.speed").getValue() == 2.5
        (cycle := [w, conveyor, speed, table]).append(cycle)
        print("ok")
        """)
    for _ in range(5):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")


def test_wrappers_are_one_per_object_and_come_back_as_the_most_derived_class(world):
    world.addEntity(body := kvr.KVRBasicBody3D("B"))
    body.addFrame(frame := kvr.KVRBasicFrame3D("T"))
    held = body.getReferenceCount()
    assert world.getLogicalChild("B") is body and body.getReferenceCount() == held
    del body
    gc.collect()
    again = world.getLogicalChild("B")
    assert type(again) is type(frame.getSpatialParent()) is kvr.KVRBasicBody3D and again.getFrames() == [frame]
    copy = again.duplicate()
    assert type(copy) is kvr.KVRBasicBody3D and copy.getEntityName() == "Copy of B"
    assert copy.getFrameCount() == 1 and copy.getFrames()[0] is not frame
    copy.orphan()
