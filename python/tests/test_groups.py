"""Groups, assemblies and the assembly tag-point extension driven from Python, checked against NumPy."""

import numpy as np
import pytest
import kvrworldmodel as kvr
from conftest import close, generic_poses

inv = np.linalg.inv


def test_groups_assemblies_and_tag_point_frames_carry_what_they_hold(world):
    """World W: a floor F; hanging on F, a group G, boxes B1 and B2, an assembly A (with a part P in no tree
    yet) and a body C carrying a tag point T."""
    s = {"W": world, **{n: kvr.KVRBasicBody3D(n) for n in ("F", "B1", "B2", "C")}, "G": kvr.KVRBasicGroup3D("G"),
         "A": kvr.KVRBasicMfgAssembly3D("A"), "P": kvr.KVRBasicPart3D("P"), "T": kvr.KVRBasicTagPoint3D("T")}
    poses = list(generic_poses(8, seed=31))
    world.addEntity(s["F"])
    for name, pose in zip(("G", "B1", "B2", "A", "C"), poses):
        world.addEntity(s[name])
        s["F"].attachBody(s[name], pose)
    s["C"].addTagPoint(s["T"])
    s["T"].setTagPointLocation(poses[5])
    world.flushLogicalState()

    g, b1, b2 = s["G"], s["B1"], s["B2"]
    g.addEntity(b1)
    with pytest.raises(kvr.KVREAlreadyRegistered, match="^Entity already exists in Group "):
        g.addEntity(b1)
    for itself in (g, s["F"]):  # moving the floor moves the group: it would carry itself
        with pytest.raises(kvr.KVREInvalidRelation):
            g.addEntity(itself)
    with pytest.raises(kvr.KVRENotFound, match="^Entity not found$"):
        g.getRelativeLocation(b2)
    assert g.getEntities() == [b1]
    g.addEntity(b2)
    g.activate()  # records where every member stands now
    X_GB1 = inv(g.getBaseLocation().matrix()) @ b1.getBaseLocation().matrix()
    assert close(g.getRelativeLocation(b1), X_GB1)
    g.setBaseLocation(move := next(generic_poses(1, seed=5)))
    g.flushSpatialState()
    assert close(b1.getBaseLocation(), move @ X_GB1)
    assert g.getEntities() == [b1, b2] and g.getEntity("B2") is b2 and g.getEntityCount(kvr.KVRBasicPart3D) == 0
    assert g.removeEntity("B1") == 1 and g.removeEntity("B1") == 0
    # An assembly places its bodies through offsets and moves them as one.
    a, p = s["A"], s["P"]
    inner, outer, move = generic_poses(3, seed=8)
    X_WA = a.getBaseLocation().matrix()
    a.addBody(p, inner, outer)
    assert close(p.getBaseLocation(), X_WA @ inner @ inv(outer))
    assert p.getLogicalParent() is a and p.getInnerConnection().getEntityName() == "A-P" and a.getBodies() == [p]
    X_AP = inv(X_WA) @ p.getBaseLocation().matrix()
    a.setBaseLocation(move)
    a.flushSpatialState()
    assert close(p.getBaseLocation(), move @ X_AP) and "-" * 60 in a.dump()
    before = p.getBaseLocation()
    a.removeBody("P")
    assert a.getBodyCount() == 0 and not p.hasInnerBody() and p.getBaseLocation() == before
    with pytest.raises(kvr.KVREAlreadyRegistered, match='^Body "/W/F" is a logical child of World "/W"$'):
        a.addBody(s["F"])
    assert a.getBodyCount() == 0 and s["F"].getLogicalParent() is world
    world.addEntity(q := kvr.KVRBasicPart3D("Q"))  # still hanging on C, it is not taken: a warning says how
    s["C"].attachBody(q, ((0, 0, 1), (1, 0, 0, 0)))
    with pytest.warns(RuntimeWarning, match=r'hanging on <KVRBasicBody3D "/W/C">: take it off first'):
        a.addBody(q)
    assert q.getInnerBody() == s["C"] and a.getBodyCount() == 0
    q.detachBody()
    world.removeEntity(q)
    a.addBody(q)  # as the warning says: now it hangs on the assembly
    assert q.getInnerBody() == a and q.getLogicalParent() == a
    assert kvr.KVRCheckModel(world) == []
    # The tag point extension keeps its frames travelling with the point.
    c, t, ext = s["C"], s["T"], kvr.KVRMfgAssemblyTagPointExt()
    t.addExtension(ext)
    assert t.getExtension(kvr.KVRMfgAssemblyTagPointExt) is ext and ext.getTagPoint() is t
    X_WF1, X_WF2, move = generic_poses(3, seed=12)
    ext.setReferenceFrame(X_WF1, X_WF2)
    X_TF1 = inv(t.getBaseLocation().matrix()) @ X_WF1
    c.setBaseLocation(move)
    c.flushSpatialState()
    first, _ = ext.getReferenceFrame()
    assert close(first, t.getBaseLocation().matrix() @ X_TF1)
    assert close(ext.getReferenceFrame(c)[0], inv(c.getBaseLocation().matrix()) @ first.matrix())
    with pytest.raises(kvr.KVREAlreadyRegistered):
        t.addExtension(kvr.KVRMfgAssemblyTagPointExt())
    with pytest.raises(kvr.KVREInvalidCast):
        c.addExtension(kvr.KVRMfgAssemblyTagPointExt())  # only a tag point takes it
    assert c.getExtensionCount() == 0 and t.removeExtension(kvr.KVRMfgAssemblyTagPointExt)
    assert t.getExtension(kvr.KVRMfgAssemblyTagPointExt) is None
    with pytest.raises(TypeError, match="an extension is named by its class"):
        t.getExtension(kvr.KVRBasicBody3D)
