"""examples/cell.py builds and runs the demo's work cell from Python: its poses must be the C++ demo's."""

import os
import re
import subprocess
import sys

import pytest

DEMO, EXAMPLE = os.environ.get("KVR_DEMO"), os.environ.get("KVR_CELL_EXAMPLE")
POSE_LINE = re.compile(r"^  (\S+)\s+(\S+) (\S+) (\S+) \| rpy (\S+) (\S+) (\S+)$")


def sections(text):
    found, lines = {}, None
    for line in text.splitlines():
        if line.startswith("== ") and line.endswith(" =="):
            lines = found.setdefault(line[3:-3], [])
        elif lines is not None and line:
            lines.append(line)
    return found


@pytest.mark.skipif(not DEMO or not EXAMPLE, reason="the demo program is not built")
def test_the_python_cell_prints_the_poses_of_the_cpp_demo():
    demo = subprocess.run([DEMO], capture_output=True, text=True, check=True, timeout=60).stdout
    cell = subprocess.run([sys.executable, EXAMPLE], capture_output=True, text=True, check=True, timeout=60).stdout
    ours, theirs = sections(cell), sections(demo)
    assert set(ours) == {"Frames in a world: descendants follow at the flush", "Pick and place",
                         "A fixture assembly and a pallet group", "Properties by path through the symbol table",
                         "A shuttle carries a pallet along a route with a turntable"}
    poses = 0
    for heading, lines in ours.items():
        assert len(lines) == len(theirs[heading]), heading
        for mine, expected in zip(lines, theirs[heading]):
            m, e = POSE_LINE.match(mine), POSE_LINE.match(expected)
            if e:  # the same name and the same numbers, as numbers
                assert m and [m[1], *map(float, m.groups()[1:])] == [e[1], *map(float, e.groups()[1:])], mine
                poses += 1
            else:  # the dumps follow the alignment a stream was left with: words, not spaces
                assert mine.split() == expected.split()
    assert poses == 35
