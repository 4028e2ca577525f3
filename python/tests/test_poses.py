"""Poses across the boundary: NumPy 4x4 arrays and (position, quaternion) pairs, both ways, and the
transform type's own operators checked against matrix algebra done in NumPy."""

import copy
import math
import pickle

import numpy as np
import pytest

import kvrworldmodel as kvr
from conftest import generic_poses, matrix, pair, rotation_of

TOL = 1e-15


def test_matrices_and_pairs_round_trip_through_the_transform_type():
    for m in generic_poses(200):
        x = kvr.Xform(m)
        assert np.abs(x.matrix() - m).max() <= TOL
        assert np.abs(np.asarray(x) - m).max() <= TOL
        position, q = x.toTuple()
        assert position == tuple(m[:3, 3])
        assert np.abs(rotation_of(q) - m[:3, :3]).max() <= TOL
        # A pair goes through unchanged, bit for bit, both ways.
        assert kvr.Xform(x.toTuple()) == x
        assert kvr.Xform(pair(m)).toTuple() == pair(m)


def test_poses_round_trip_through_entities_as_arrays_tuples_and_nested_lists(world):
    # Frame F on frame P: setFrameLocation takes any pose kind; reads come back as the transform type.
    parent, frame = kvr.KVRBasicFrame3D("P"), kvr.KVRBasicFrame3D("F")
    world.addEntity(parent)
    parent.addSpatialChild(frame)
    for m in generic_poses(50, seed=11):
        assert frame.setFrameLocation(m) == 2
        assert np.abs(frame.getFrameLocation().matrix() - m).max() <= TOL
        assert np.abs(frame.getBaseLocation().matrix() - m).max() <= TOL
        assert frame.setFrameLocation(m.tolist()) == 2
        assert np.abs(frame.getRelativeLocation().matrix() - m).max() <= TOL
        p, q = pair(m)
        assert frame.setFrameLocation((p, q)) == 2
        assert frame.getFrameLocation().toTuple() == (p, q)
        assert parent.setBaseLocation(m.astype(np.float32)) == 2  # any float dtype is taken
        assert np.abs(parent.getBaseLocation().matrix() - m).max() < 1e-6


def test_operators_agree_with_matrix_algebra():
    poses = list(generic_poses(40, seed=3))
    for a, b in zip(poses, poses[1:]):
        xa, xb = kvr.Xform(a), kvr.Xform(b)
        assert np.abs((xa * xb).matrix() - a @ b).max() < 1e-14
        assert np.abs(xa.inverse().matrix() - np.linalg.inv(a)).max() < 1e-14
        p = np.array([0.3, -1.2, 2.5])
        assert np.abs(np.asarray(xa * kvr.Vector(*p)) - (a[:3, :3] @ p + a[:3, 3])).max() < 1e-14
        assert np.abs(np.asarray(xa * p) - (a[:3, :3] @ p + a[:3, 3])).max() < 1e-14
        y = kvr.Xform(xa)
        y *= xb
        assert y.isApprox(xa * xb, 1e-14)
        y /= xb
        assert y.isApprox(xa, 1e-14)
        # The static helpers of 3-D entities: P * R and E^-1 * X.
        assert kvr.KVRBasicEntity3D.calcBaseLocation(a, b).isApprox(xa * xb, 1e-14)
        assert kvr.KVRBasicEntity3D.calcRelativeLocation(a, b).isApprox(xa.inverse() * xb, 1e-14)


def test_rpy_and_axis_angle_follow_the_documented_conventions():
    x = kvr.Xform()
    x.setRPY(0.3, -0.4, 1.1)
    rz, ry, rx = (matrix(axis, angle, (0, 0, 0))[:3, :3] for axis, angle in
                  (((0, 0, 1), 1.1), ((0, 1, 0), -0.4), ((1, 0, 0), 0.3)))
    assert np.abs(x.matrix()[:3, :3] - rz @ ry @ rx).max() < 1e-15
    assert np.allclose(x.getRPY(), (0.3, -0.4, 1.1), atol=1e-15)
    q = kvr.Qtn()
    q.setEAA((1, 2, 3), 0.7)
    axis, angle = q.getEAA()
    assert angle == pytest.approx(0.7, abs=1e-15)
    assert np.allclose(np.asarray(axis), np.array([1, 2, 3]) / math.sqrt(14), atol=1e-15)
    assert np.abs(q.toRotationMatrix() - matrix((1, 2, 3), 0.7, (0, 0, 0))[:3, :3]).max() < 1e-15


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
    frame = kvr.KVRBasicFrame3D("F")
    world.addEntity(frame)
    before = kvr.Xform(((0.1, 0.2, 0.3), (0.6, 0.0, 0.8, 0.0)))
    frame.setFrameLocation(before)
    with pytest.raises(kvr.KVREInvalidArgument) as refused:
        frame.setFrameLocation(bad)
    assert str(refused.value).startswith("A pose is a KVRBasicXform3D, a 4x4 rigid transform or a "
                                         "(position, quaternion (w, x, y, z)) pair: ")
    assert text in str(refused.value)
    assert isinstance(refused.value, ValueError)
    assert frame.getFrameLocation() == before


def test_a_slightly_off_unit_quaternion_is_normalised_a_unit_one_kept_bit_for_bit():
    h = math.sqrt(0.5)
    assert kvr.Xform(((0, 0, 0), (h, h, 0, 0))).toTuple()[1] == (h, h, 0.0, 0.0)
    w, x, y, z = kvr.Xform(((0, 0, 0), (1 + 1e-9, 0, 0, 0))).toTuple()[1]
    assert (w, x, y, z) == (1.0, 0.0, 0.0, 0.0)


def test_a_request_answered_with_status_1_hands_the_adapted_profile_back(world):
    # A frame keeps only the location of a profile: it clears the caller's velocities and says so with 1.
    frame = kvr.KVRBasicFrame3D("F")
    world.addEntity(frame)
    profile = kvr.Profile()
    profile.setLocation(((1, 2, 3), (1, 0, 0, 0)))
    profile.setLinearVelocity((0.5, 0, 0))
    profile.setAngularAcceleration((0, 0, 2))
    assert frame.setRelativeProfile(profile) == 1
    assert profile.getLinearVelocity() == kvr.Vector.Zero
    assert profile.getAngularAcceleration() == kvr.Vector.Zero
    assert profile.getLocation().toTuple() == ((1.0, 2.0, 3.0), (1.0, 0.0, 0.0, 0.0))


def test_values_copy_and_pickle_without_sharing():
    x = kvr.Xform(next(generic_poses(1)))
    for clone in (copy.copy(x), copy.deepcopy(x), pickle.loads(pickle.dumps(x))):
        assert clone == x
        clone.setPosition(9, 9, 9)
        assert clone != x
    v = kvr.Vector(1, 2, 3)
    assert pickle.loads(pickle.dumps(v)) == v and list(v) == [1, 2, 3] and v[-1] == 3
    with pytest.raises(IndexError):
        v[3]
    assert str(kvr.Xform(((1, 2, 3), (math.sqrt(0.5), 0, 0, math.sqrt(0.5))))) == "1 2 3 | rpy 0 0 90"


def test_values_format_to_significant_digits_as_a_cpp_stream_writes_them():
    x = kvr.Xform(((1.23456, -0.000123456, 2), (math.cos(0.25), 0, 0, math.sin(0.25))))
    assert f"{x:.3}" == "1.23 -0.000123 2 | rpy 0 0 28.6" and format(x) == str(x)
    assert f"{kvr.KVRBasicVector3D(2.0 / 3, 1e-7, 5):.2g}" == "0.67 1e-07 5"
    assert f"{kvr.KVRSimTime(6.5849999):.4}" == "6.585" and f"{kvr.KVRSimTime(10):.4}" == "10"
    for fmt in (".4f", "8", ".", ".123"):
        with pytest.raises(ValueError, match="take the format '.N' or '.Ng'"):
            format(x, fmt)


def test_a_fresh_pose_is_composed_without_a_flush_and_agrees_with_it(world):
    # Root R with a chain of frames F1..F30; R moves, nothing is flushed yet.
    root = kvr.KVRBasicFrame3D("R")
    world.addEntity(root)
    chain, parent = [], root
    for k, m in enumerate(generic_poses(30, seed=5)):
        frame = kvr.KVRBasicFrame3D(f"F{k + 1}")
        parent.addSpatialChild(frame)
        frame.setFrameLocation(m)
        chain.append(frame)
        parent = frame
    root.flushSpatialState()
    root.setBaseLocation(next(generic_poses(1, seed=9)))
    leaf, middle = chain[-1], chain[10]
    stale = leaf.getBaseLocation()
    fresh = leaf.computeBaseLocation()
    assert leaf.getBaseLocation() == stale  # nothing cached
    relative = leaf.computeLocationRelativeTo(middle)
    assert np.abs(relative.matrix() - np.linalg.inv(middle.computeBaseLocation().matrix()) @ fresh.matrix()).max() < 1e-12
    root.flushSpatialState()
    assert leaf.getBaseLocation() == fresh
    for frame in reversed(chain):
        frame.orphan()

