"""Shared scenes and helpers for the kvrworldmodel tests."""

import ctypes
import gc
import math
import os
import re
import sys
import tempfile

# Under the sanitizers the leak checker runs in this process; NumPy's import leaves a few objects of its own.
_process = ctypes.CDLL(None)
_leak_checked = hasattr(_process, "__lsan_do_recoverable_leak_check")
if _leak_checked:
    _process.__lsan_disable()
import numpy as np  # noqa: E402
if _leak_checked:
    _process.__lsan_enable()

import pytest  # noqa: E402
import kvrworldmodel as kvr  # noqa: E402


def matrix(axis, angle, position):
    """A 4x4 rigid transform: `angle` radians about a skew `axis` (Rodrigues), then a translation."""
    a = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    k = np.array([[0, -a[2], a[1]], [a[2], 0, -a[0]], [-a[1], a[0], 0]])
    m = np.eye(4)
    m[:3, :3] = np.eye(3) + math.sin(angle) * k + (1 - math.cos(angle)) * k @ k
    m[:3, 3] = position
    return m


def generic_poses(count, seed=7):
    """Rigid transforms about skew axes, with angles up to pi, so a swapped product or a lost rotation shows."""
    rng = np.random.default_rng(seed)
    for _ in range(count):
        yield matrix(rng.normal(size=3), rng.uniform(0.1, math.pi), rng.uniform(-2, 2, size=3))


def pair(m):
    """(position, quaternion (w, x, y, z)) of a 4x4 rigid transform, by Shepperd's method, without the module."""
    r, t = m[:3, :3], np.trace(m[:3, :3])
    candidates = [1 + t, 1 + r[0, 0] - r[1, 1] - r[2, 2], 1 - r[0, 0] + r[1, 1] - r[2, 2],
                  1 - r[0, 0] - r[1, 1] + r[2, 2]]
    k = int(np.argmax(candidates))
    s = 2 * math.sqrt(candidates[k])
    if k == 0:
        q = (s / 4, (r[2, 1] - r[1, 2]) / s, (r[0, 2] - r[2, 0]) / s, (r[1, 0] - r[0, 1]) / s)
    elif k == 1:
        q = ((r[2, 1] - r[1, 2]) / s, s / 4, (r[0, 1] + r[1, 0]) / s, (r[0, 2] + r[2, 0]) / s)
    elif k == 2:
        q = ((r[0, 2] - r[2, 0]) / s, (r[0, 1] + r[1, 0]) / s, s / 4, (r[1, 2] + r[2, 1]) / s)
    else:
        q = ((r[1, 0] - r[0, 1]) / s, (r[0, 2] + r[2, 0]) / s, (r[1, 2] + r[2, 1]) / s, s / 4)
    return tuple(float(v) for v in m[:3, 3]), tuple(float(v) for v in q)


def close(x, m, tol=1e-12):
    return np.abs(np.asarray(x) - np.asarray(m)).max() <= tol


@pytest.fixture
def world():
    w = kvr.KVRBasicWorld("W")
    kvr.KVRBasicUniverse.getUniverse().addEntity(w)
    yield w
    w.orphan()


def pytest_sessionfinish(session, exitstatus):
    """Under the sanitizers, every model object the tests let go must be freed by now (only ours count)."""
    if not _leak_checked:
        return
    gc.collect()
    with tempfile.TemporaryFile(mode="w+") as report:
        sys.stderr.flush()
        saved = os.dup(2)
        os.dup2(report.fileno(), 2)
        try:
            _process.__lsan_do_recoverable_leak_check()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        report.seek(0)
        blocks = re.split(r"\n(?=(?:Direct|Indirect) leak of )", report.read())[1:]
    ours = [b for b in blocks if re.search(r" in (KVR|kvrpy::)|/libKVR", b)]
    if ours:
        sys.stderr.write("\nLeakSanitizer: objects of the world model were leaked:\n" + "\n".join(ours))
        session.exitstatus = 1
