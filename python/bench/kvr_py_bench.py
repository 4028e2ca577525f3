#!/usr/bin/env python3
"""What driving the model from Python costs: one setBaseLocation + flush + read per entity, and the base
locations of many entities read at once.

The same loop as the C++ benchmark BM_SetFlushReadPerEntity (1000 frames in a world, each moved on its
own), timed from Python with the pose passed as the library's transform type, as a (position,
quaternion) pair and as a NumPy 4x4 array, and with the location read back as a NumPy matrix; and, as
BM_ReadBaseLocationsAsMatrices does, the base locations of 10 000 frames read into one (N, 4, 4) array
through a KVRPoseBatch. Given the benchmark program (--cpp-bench), runs the C++ benchmarks too and prints
their figures beside these.

    PYTHONPATH=build/release/python python3 python/bench/kvr_py_bench.py --cpp-bench build/release/bin/kvr_bench
"""

import argparse
import json
import math
import subprocess
import time

import numpy as np

import kvrworldmodel as kvr

ENTITIES = 1000


def scene():
    world = kvr.KVRBasicWorld("Bench")
    frames = [kvr.KVRBasicFrame3D(f"F{i}") for i in range(ENTITIES)]
    for frame in frames:
        world.addEntity(frame)
    return world, frames


def loop_xform(frames, pose):
    for frame in frames:
        frame.setBaseLocation(pose)
        frame.flushSpatialState()
        frame.getBaseLocation()


def loop_matrix_read(frames, pose):
    for frame in frames:
        frame.setBaseLocation(pose)
        frame.flushSpatialState()
        frame.getBaseLocation().matrix()


def ns_per_entity(loop, frames, pose, seconds):
    """The best of several timed runs of at least `seconds` / 5 each, in CPU ns per entity (CPU time, as
    Google Benchmark's rates use, so that other load on the machine counts as little as it can)."""
    best = math.inf
    deadline = time.process_time() + seconds
    while time.process_time() < deadline or best == math.inf:
        runs, start = 0, time.process_time()
        while runs == 0 or time.process_time() - start < seconds / 5:
            loop(frames, pose)
            runs += 1
        best = min(best, (time.process_time() - start) / (runs * len(frames)) * 1e9)
    return best


def bulk_read_ns_per_entity(seconds, count=10000):
    """KVRPoseBatch.getBaseLocations into a reused array, CPU ns per entity, best of several runs."""
    world = kvr.KVRBasicWorld("Bulk")
    q = kvr.Qtn()
    q.setEAA((1, 2, 3), 0.4)
    for i in range(count):
        frame = kvr.KVRBasicFrame3D(f"F{i}")
        world.addEntity(frame)
        frame.setBaseLocation(kvr.Xform(q, (0.5, -0.2, 0.001 * i)))
        frame.flushSpatialState()
    batch = kvr.KVRPoseBatch.subtree(world)
    out = np.empty((len(batch), 4, 4))
    ns = ns_per_entity(lambda entities, _: batch.getBaseLocations(out), batch.entities, None, seconds)
    world.orphan()
    return ns


def cpp_figure(program, name):
    out = subprocess.run([program, f"--benchmark_filter={name}", "--benchmark_format=json"],
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)["benchmarks"][0]["ns_per_entity"] * 1e9  # an inverted rate: seconds per entity


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cpp-bench", help="the kvr_bench program, for the C++ figure")
    parser.add_argument("--seconds", type=float, default=1.0, help="time spent on each Python row")
    args = parser.parse_args()

    q = kvr.Qtn()
    q.setEAA((1, 2, 3), 0.4)
    xform = kvr.Xform(q, (0.5, -0.2, 1.0))
    world, frames = scene()
    rows = [
        ("Python, pose as KVRBasicXform3D", ns_per_entity(loop_xform, frames, xform, args.seconds)),
        ("Python, pose as (position, quaternion)", ns_per_entity(loop_xform, frames, xform.toTuple(), args.seconds)),
        ("Python, pose as NumPy 4x4", ns_per_entity(loop_xform, frames, xform.matrix(), args.seconds)),
        ("Python, read back as NumPy 4x4", ns_per_entity(loop_matrix_read, frames, xform, args.seconds)),
    ]
    world.orphan()
    bulk = bulk_read_ns_per_entity(args.seconds)
    cpp = cpp_figure(args.cpp_bench, "BM_SetFlushReadPerEntity") if args.cpp_bench else None
    cpp_bulk = cpp_figure(args.cpp_bench, "BM_ReadBaseLocationsAsMatrices") if args.cpp_bench else None

    print(f"\nsetBaseLocation + flushSpatialState + getBaseLocation, {ENTITIES} frames, CPU ns per entity")
    if cpp is not None:
        print(f"  {'C++ (BM_SetFlushReadPerEntity)':<40} {cpp:9.1f}")
    for label, ns in rows:
        ratio = f"   x{ns / cpp:.0f} C++" if cpp else ""
        print(f"  {label:<40} {ns:9.1f}{ratio}")
    print("\nThe base locations of 10 000 frames read into one (N, 4, 4) array, CPU ns per entity")
    if cpp_bulk is not None:
        print(f"  {'C++ (BM_ReadBaseLocationsAsMatrices)':<40} {cpp_bulk:9.1f}")
    ratio = f"   x{bulk / cpp_bulk:.2f} C++" if cpp_bulk else ""
    print(f"  {'Python, KVRPoseBatch.getBaseLocations':<40} {bulk:9.1f}{ratio}")


if __name__ == "__main__":
    main()
