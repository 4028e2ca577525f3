"""Poses across the boundary (NumPy 4x4 arrays, (position, quaternion) pairs) and operators against NumPy."""

import copy
import math
import pickle

import numpy as np
import pytest
import kvrworldmodel as kvr
from conftest import close, generic_poses, matrix, pair

TOL = 1e-15


def test_matrices_and_pairs_round_trip_through_the_transform_type_and_entities(world):
    for m in generic_poses(200):
        x = kvr.Xform(m)
        assert close(x.matrix(), m, TOL) and close(np.asarray(x), m, TOL)
        (position, q), (_, expected) = x.toTuple(), pair(m)
        assert position == tuple(m[:3, 3]) and close(np.sign(np.dot(q, expected)) * np.asarray(q), expected, TOL)
        assert kvr.Xform(x.toTuple()) == x and kvr.Xform(pair(m)).toTuple() == pair(m)  # bit for bit
    # A slightly off unit quaternion is normalised, a unit one kept bit for bit.
    h = math.sqrt(0.5)
    assert kvr.Xform(((0, 0, 0), (h, h, 0, 0))).toTuple()[1] == (h, h, 0.0, 0.0)
    assert kvr.Xform(((0, 0, 0), (1 + 1e-9, 0, 0, 0))).toTuple()[1] == (1.0, 0.0, 0.0, 0.0)

    # Frame F on frame P, and a tip T on F: any pose kind is taken; reads give the transform type.
    parent, frame, tip = (kvr.KVRBasicFrame3D(n) for n in "PFT")
    world.addEntity(parent)
    parent.addSpatialChild(frame)
    frame.addSpatialChild(tip)
    for m in generic_poses(50, seed=11):
        assert frame.setFrameLocation(m) == 2
        assert close(frame.getFrameLocation(), m, TOL) and close(frame.getBaseLocation(), m, TOL)
        assert frame.setFrameLocation(m.tolist()) == 2 and close(frame.getRelativeLocation(), m, TOL)
        assert frame.setFrameLocation(pair(m)) == 2 and frame.getFrameLocation().toTuple() == pair(m)
        assert parent.setBaseLocation(m.astype(np.float32)) == 2  # any float dtype is taken
        assert np.abs(parent.getBaseLocation().matrix() - m).max() < 1e-6
    parent.flushSpatialState()  # a fresh pose is composed without a flush and agrees with the flush
    tip.setFrameLocation(pair(m))
    parent.setBaseLocation(next(generic_poses(1, seed=9)))
    stale, fresh = tip.getBaseLocation(), tip.computeBaseLocation()
    assert close(tip.computeLocationRelativeTo(frame), np.linalg.inv(frame.computeBaseLocation()) @ fresh.matrix())
    assert tip.getBaseLocation() == stale
    parent.flushSpatialState()
    assert tip.getBaseLocation() == fresh
    assert close(fresh, parent.getBaseLocation() * frame.getFrameLocation() * tip.getFrameLocation())
    # A frame keeps only the location of a profile: it clears the caller's velocities and says so with 1.
    profile = kvr.Profile()
    profile.setLocation(((1, 2, 3), (1, 0, 0, 0)))
    profile.setLinearVelocity((0.5, 0, 0))
    profile.setAngularAcceleration((0, 0, 2))
    assert frame.setRelativeProfile(profile) == 1
    assert profile.getLinearVelocity() == kvr.Vector.Zero == profile.getAngularAcceleration()
    assert profile.getLocation().toTuple() == ((1.0, 2.0, 3.0), (1.0, 0.0, 0.0, 0.0))
    for entity in (tip, frame):  # a spatial child holds its parent: orphaning breaks the cycle
        entity.orphan()


def test_operators_conventions_copies_and_formats_agree_with_numpy_and_cpp():
    poses = list(generic_poses(40, seed=3))
    p = np.array([0.3, -1.2, 2.5])
    for a, b in zip(poses, poses[1:]):
        xa, xb = kvr.Xform(a), kvr.Xform(b)
        assert close(xa * xb, a @ b, 1e-14) and close(xa.inverse(), np.linalg.inv(a), 1e-14)
        assert close(xa * kvr.Vector(*p), a[:3, :3] @ p + a[:3, 3], 1e-14)
        assert close(xa * p, a[:3, :3] @ p + a[:3, 3], 1e-14)
        y = kvr.Xform(xa)
        y *= xb
        assert y.isApprox(xa * xb, 1e-14)
        y /= xb
        assert y.isApprox(xa, 1e-14)
        assert kvr.KVRBasicEntity3D.calcBaseLocation(a, b).isApprox(xa * xb, 1e-14)
        assert kvr.KVRBasicEntity3D.calcRelativeLocation(a, b).isApprox(xa.inverse() * xb, 1e-14)
    # Roll, pitch, yaw: Rz(yaw) Ry(pitch) Rx(roll); axis and angle normalise the axis.
    x = kvr.Xform()
    x.setRPY(0.3, -0.4, 1.1)
    rz, ry, rx = (matrix(axis, angle, (0, 0, 0))[:3, :3] for axis, angle in
                  (((0, 0, 1), 1.1), ((0, 1, 0), -0.4), ((1, 0, 0), 0.3)))
    assert close(x.matrix()[:3, :3], rz @ ry @ rx, TOL) and close(x.getRPY(), (0.3, -0.4, 1.1), TOL)
    q = kvr.Qtn()
    q.setEAA((1, 2, 3), 0.7)
    axis, angle = q.getEAA()
    assert angle == pytest.approx(0.7, abs=1e-15) and close(axis, np.array([1, 2, 3]) / math.sqrt(14), TOL)
    assert close(q.toRotationMatrix(), matrix((1, 2, 3), 0.7, (0, 0, 0))[:3, :3], TOL)
    x = kvr.Xform(poses[0])  # values copy and pickle without sharing, and format as a C++ stream does
    for clone in (copy.copy(x), copy.deepcopy(x), pickle.loads(pickle.dumps(x))):
        assert clone == x
        clone.setPosition(9, 9, 9)
        assert clone != x
    v = kvr.Vector(1, 2, 3)
    assert pickle.loads(pickle.dumps(v)) == v and list(v) == [1, 2, 3] and v[-1] == 3
    with pytest.raises(IndexError):
        v[3]
    assert str(kvr.Xform(((1, 2, 3), (math.sqrt(0.5), 0, 0, math.sqrt(0.5))))) == "1 2 3 | rpy 0 0 90"
    x = kvr.Xform(((1.23456, -0.000123456, 2), (math.cos(0.25), 0, 0, math.sin(0.25))))
    assert f"{x:.3}" == "1.23 -0.000123 2 | rpy 0 0 28.6" and format(x) == str(x)
    assert f"{kvr.KVRBasicVector3D(2.0 / 3, 1e-7, 5):.2g}" == "0.67 1e-07 5"
    assert f"{kvr.KVRSimTime(6.5849999):.4}" == "6.585" and f"{kvr.KVRSimTime(10):.4}" == "10"
    for fmt in (".4f", "8", ".", ".123"):
        with pytest.raises(ValueError, match="take the format '.N' or '.Ng'"):
            format(x, fmt)


@pytest.mark.parametrize("bad, text", [
    (np.ones((4, 4)), "the last row of a 4x4 transform must be 0 0 0 1"),
    (np.diag([1.0, 1.0, 2.0, 1.0]), "the upper 3x3 block is not a rotation matrix"),
    (np.diag([1.0, 1.0, -1.0, 1.0]), "the upper 3x3 block is not a rotation matrix"),  # a reflection
    (np.eye(3), "an array pose must be 4x4, not (3, 3)"),
    (((0, 0, 0), (2, 0, 0, 0)), "the quaternion (2, 0, 0, 0) is not of unit length"),
    (((0, 0), (1, 0, 0, 0)), "the position must be three numbers"),
    (((0, 0, math.nan), (1, 0, 0, 0)), "non-finite number in"),
    ((1, 2, 3), "(1, 2, 3) is neither"),
])
def test_what_is_no_rigid_transform_is_refused_and_changes_nothing(world, bad, text):
    world.addEntity(frame := kvr.KVRBasicFrame3D("F"))
    before = kvr.Xform(((0.1, 0.2, 0.3), (0.6, 0.0, 0.8, 0.0)))
    frame.setFrameLocation(before)
    with pytest.raises(kvr.KVREInvalidArgument) as refused:
        frame.setFrameLocation(bad)
    assert str(refused.value).startswith("A pose is a KVRBasicXform3D, a 4x4 rigid transform or a "
                                         "(position, quaternion (w, x, y, z)) pair: ")
    assert text in str(refused.value) and isinstance(refused.value, ValueError)
    assert frame.getFrameLocation() == before
