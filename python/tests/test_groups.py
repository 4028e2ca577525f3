"""Groups, assemblies and the assembly tag-point extension driven from Python, checked against NumPy.

Scene, in world W: a floor F; a pallet group G hanging on F with boxes B1, B2 hanging on F beside it;
a fixture assembly A on F, and a part P for it; a body C carrying a tag point T."""

import numpy as np
import pytest

import kvrworldmodel as kvr
from conftest import generic_poses

inv = np.linalg.inv


def close(x, m, tol=1e-13):
    return np.abs(x.matrix() - m).max() <= tol


@pytest.fixture
def scene(world):
    s = {"W": world, "F": kvr.KVRBasicBody3D("F"), "G": kvr.KVRBasicGroup3D("G"), "B1": kvr.KVRBasicBody3D("B1"),
         "B2": kvr.KVRBasicBody3D("B2"), "A": kvr.KVRBasicMfgAssembly3D("A"), "P": kvr.KVRBasicPart3D("P"),
         "C": kvr.KVRBasicBody3D("C"), "T": kvr.KVRBasicTagPoint3D("T")}
    for name in ("F", "G", "B1", "B2", "A", "C"):  # P stands in no tree: the assembly takes it
        world.addEntity(s[name])
    poses = list(generic_poses(8, seed=31))
    s["poses"] = poses
    for name, pose in zip(("G", "B1", "B2", "A", "C"), poses):
        s["F"].attachBody(s[name], pose)
    s["C"].addTagPoint(s["T"])
    s["T"].setTagPointLocation(poses[5])
    world.flushLogicalState()
    return s


def test_an_active_group_carries_its_members_where_they_stood_and_an_inactive_one_leaves_them(scene):
    g, b1, b2 = scene["G"], scene["B1"], scene["B2"]
    g.addEntity(b1)
    g.addEntity(b2)
    g.setEntityAlwaysActive(b2, 1)
    X_WG = g.getBaseLocation().matrix()
    X_GB1, X_GB2 = (inv(X_WG) @ b.getBaseLocation().matrix() for b in (b1, b2))
    move1, move2 = generic_poses(2, seed=5)

    g.setBaseLocation(move1)  # inactive: only the always-active member goes along
    g.flushSpatialState()
    assert close(b2.getBaseLocation(), move1 @ X_GB2)
    assert close(b1.getBaseLocation(), X_WG @ X_GB1)

    g.activate()  # records where every member stands now
    X_GB1 = inv(move1) @ b1.getBaseLocation().matrix()
    assert close(g.getRelativeLocation(b1), X_GB1)
    g.setBaseLocation(move2)
    g.flushSpatialState()
    assert close(b1.getBaseLocation(), move2 @ X_GB1) and close(b2.getBaseLocation(), move2 @ X_GB2)
    assert g.getEntities() == [b1, b2] and g.getEntity("B2") is b2 and g.hasEntity("B1")
    assert g.getEntityCount(kvr.KVRBasicPart3D) == 0
    assert g.removeEntity("B1") == 1 and g.removeEntity("B1") == 0
    assert kvr.KVRCheckModel(scene["W"]) == []


def test_a_group_refuses_what_it_cannot_carry_and_stays_as_it_was(scene):
    g, b1 = scene["G"], scene["B1"]
    g.addEntity(b1)
    with pytest.raises(kvr.KVREAlreadyRegistered, match="^Entity already exists in Group "):
        g.addEntity(b1)
    with pytest.raises(kvr.KVREInvalidRelation):
        g.addEntity(g)
    with pytest.raises(kvr.KVREInvalidRelation):
        g.addEntity(scene["F"])  # moving the floor moves the group: it would carry itself
    with pytest.raises(kvr.KVRENotFound, match="^Entity not found$"):
        g.getRelativeLocation(scene["B2"])
    assert g.getEntities() == [b1]


def test_an_assembly_places_its_bodies_through_offsets_and_moves_them_as_one(scene):
    a, p = scene["A"], scene["P"]
    inner, outer, move = generic_poses(3, seed=8)
    X_WA = a.getBaseLocation().matrix()
    a.addBody(p, inner, outer)
    assert close(p.getBaseLocation(), X_WA @ inner @ inv(outer))
    assert p.getLogicalParent() is a and p.getInnerConnection().getEntityName() == "A-P"
    assert a.getBodies() == [p] and a.getBody("P") is p and a.getBodyCount() == 1
    X_AP = inv(X_WA) @ p.getBaseLocation().matrix()
    a.setBaseLocation(move)
    a.flushSpatialState()
    assert close(p.getBaseLocation(), move @ X_AP)
    assert "-------------------------------------------------------------" in a.dump()

    before = p.getBaseLocation()
    a.removeBody("P")
    assert a.getBodyCount() == 0 and not p.hasInnerBody() and p.getBaseLocation() == before
    with pytest.raises(kvr.KVREAlreadyRegistered, match='^Body "/W/F" is a logical child of World "/W"$'):
        a.addBody(scene["F"])
    assert a.getBodyCount() == 0 and scene["F"].getLogicalParent() is scene["W"]


def test_the_tag_point_extension_keeps_its_frames_travelling_with_the_point(scene):
    c, t = scene["C"], scene["T"]
    ext = kvr.KVRMfgAssemblyTagPointExt()
    t.addExtension(ext)
    assert t.getExtension(kvr.KVRMfgAssemblyTagPointExt) is ext and ext.getTagPoint() is t
    X_WF1, X_WF2, move = generic_poses(3, seed=12)
    ext.setReferenceFrame(X_WF1, X_WF2)
    X_TF1 = inv(t.getBaseLocation().matrix()) @ X_WF1
    c.setBaseLocation(move)
    c.flushSpatialState()
    first, second = ext.getReferenceFrame()
    assert close(first, t.getBaseLocation().matrix() @ X_TF1)
    relative_first, _ = ext.getReferenceFrame(c)
    assert close(relative_first, inv(c.getBaseLocation().matrix()) @ first.matrix())
    with pytest.raises(kvr.KVREAlreadyRegistered):
        t.addExtension(kvr.KVRMfgAssemblyTagPointExt())
    with pytest.raises(kvr.KVREInvalidCast):
        c.addExtension(kvr.KVRMfgAssemblyTagPointExt())  # only a tag point takes it
    assert c.getExtensionCount() == 0
    assert t.removeExtension(kvr.KVRMfgAssemblyTagPointExt) and t.getExtension(kvr.KVRMfgAssemblyTagPointExt) is None
    with pytest.raises(TypeError, match="an extension is named by its class"):
        t.getExtension(kvr.KVRBasicBody3D)


def test_adding_a_part_still_held_by_a_gripper_warns_and_says_how(world):
    pallet, gripper, part = kvr.KVRBasicMfgAssembly3D("Pallet"), kvr.KVRBasicBody3D("Gripper"), kvr.KVRBasicPart3D("Part")
    for entity in (pallet, gripper, part):
        world.addEntity(entity)
    gripper.attachBody(part, ((0, 0, 1), (1, 0, 0, 0)))
    with pytest.warns(RuntimeWarning, match=r'hanging on <KVRBasicBody3D "/W/Gripper">: take it off first'):
        pallet.addBody(part)
    assert part.getInnerBody() == gripper and pallet.getBodyCount() == 0
    part.detachBody()
    world.removeEntity(part)
    pallet.addBody(part)  # as the warning says: now it hangs on the pallet
    assert part.getInnerBody() == pallet and part.getLogicalParent() == pallet
