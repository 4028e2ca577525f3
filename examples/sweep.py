#!/usr/bin/env python3
"""Runs many variants of the example shuttle cell as Dask tasks and prints when each part arrives.

Each task builds the cell from the text of examples/cells/workcell.json, gives every planned
shuttle its variant (when its move starts, and the span it takes), steps the cell over simulation
time and returns, for each part a shuttle carries, the simulation time at which it reaches its
place: where the shuttle's plan leaves it, to within 1 mm, from the first step it stands there and
stays on. The cell file is read once here and its text sent to each worker, so that workers need
not share this machine's files.

Run from the build tree, on a local cluster of worker processes:
    PYTHONPATH=build/dev/python python3 examples/sweep.py --workers 2 --variants 20
or on a running Dask cluster:
    PYTHONPATH=build/dev/python python3 examples/sweep.py --scheduler tcp://host:8786
Every worker must be able to import kvrworldmodel (the same build, for the same results), e.g.
    PYTHONPATH=/path/to/build/dev/python dask-worker tcp://host:8786 --nthreads 1
One thread per worker: the model is used by one thread at a time (more threads would take turns).
"""

import argparse
import math
from pathlib import Path

import kvrworldmodel as kvr

CELL = Path(__file__).resolve().parent / "cells" / "workcell.json"
STEP = 0.01  # seconds of simulation time between two steps
REACH = 0.001  # metres from its place at which a part counts as there


def variants(count):
    """`count` (start, span) pairs in seconds: moves of 2 to 6 s, starting every half second."""
    return [(0.5 * (i // 5), 2.0 + i % 5) for i in range(count)]


def below(entity):
    """The entities of the logical tree below `entity`, depth-first."""
    for child in entity.getLogicalChildren():
        yield child
        yield from below(child)


def position(entity):
    return entity.getBaseLocation().toTuple()[0]


def run_variant(cell_text, start, span, step=STEP):
    """{part's full name: (arrival time in s or None, (x, y, z) of its place)} for one variant."""
    world = kvr.KVRSnapshot.fromJson(cell_text)
    try:
        driven = [(s, s.getPlanner()) for s in below(world) if isinstance(s, kvr.KVRBasicShuttle3D) and s.getPlanner()]
        for _, planner in driven:
            planner.setPoints(0.0, span)
            planner.setScheduledStart(start)
        driven = [(s, p) for s, p in driven if p.getMoveTime()]  # those with a plan (a path with points)
        if not driven:
            return {}
        first = min(float(p.getScheduledStart()) + float(p.getMoveTime()[0]) for _, p in driven)
        end = max(float(p.getScheduledStart()) + float(p.getMoveTime()[1]) for _, p in driven)

        def move_to(t):
            world.setSimulationTime(t)
            for shuttle, planner in driven:
                planner.moveBasicObject(t - planner.getScheduledStart())
                shuttle.flushSpatialState()

        parts = {p.getEntityName(kvr.KVRBasicEntity.FullName): p
                 for s, _ in driven for p in s.getEntities(kvr.KVRBasicBody3D)}
        move_to(end)  # where the plans leave the parts
        places = {name: position(part) for name, part in parts.items()}
        arrivals = dict.fromkeys(parts)
        for k in range(math.ceil((end - first) / step) + 1):
            t = min(first + k * step, end)  # counted in steps, so the times do not drift
            move_to(t)
            for name, part in parts.items():
                if math.dist(position(part), places[name]) > REACH:
                    arrivals[name] = None  # not there (any more)
                elif arrivals[name] is None:
                    arrivals[name] = t
        return {name: (arrivals[name], places[name]) for name in parts}
    finally:
        world.orphan()


def sweep(client, cell_text, cases, step=STEP):
    """run_variant() of every (start, span) in `cases` on the cluster, in the order of `cases`."""
    cell = client.scatter(cell_text, broadcast=True)  # sent to each worker once, not with every task
    futures = [client.submit(run_variant, cell, start, span, step) for start, span in cases]
    return client.gather(futures)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--variants", type=int, default=10, help="how many variants to run (default 10)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default 2)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler, e.g. tcp://host:8786")
    parser.add_argument("--cell", type=Path, default=CELL, help="the cell file (default: the example)")
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    cell_text = args.cell.read_text(encoding="utf-8")
    cases = variants(args.variants)
    if args.scheduler:
        with Client(args.scheduler) as client:
            results = sweep(client, cell_text, cases)
    else:
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            results = sweep(client, cell_text, cases)

    print(f"{'variant':>7} {'start s':>8} {'span s':>7}  {'part':<16} {'arrives s':>9}  place")
    for i, ((start, span), parts) in enumerate(zip(cases, results)):
        for name, (arrival, place) in parts.items():
            when = "never" if arrival is None else f"{arrival:.2f}"
            where = " ".join(f"{v:.3f}" for v in place)
            print(f"{i:>7} {start:>8.2f} {span:>7.2f}  {name:<16} {when:>9}  {where}")


if __name__ == "__main__":
    main()
