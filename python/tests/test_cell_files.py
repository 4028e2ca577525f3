"""Cells read back from their snapshots: files, pickles and copies, a hand-written cell, and bad files."""

import copy
import json
import pickle
import re
import pytest
import kvrworldmodel as kvr
from conftest import generic_poses, pair

pytestmark = pytest.mark.skipif(not hasattr(kvr, "KVRSnapshot"), reason="built without the export tools")

Snapshot = kvr.KVRSnapshot


def events(root):
    return [e["events"] for e in json.loads(Snapshot.toJson(root))["entities"]]


def test_files_pickles_and_copies_rebuild_the_same_cell(tmp_path):
    # World Cell, in no tree: a floor F carrying a fixture X and a gripper G, a tool frame T on G, a path H on
    # F with two points, a part P on X, then grabbed by G.
    w = kvr.KVRBasicWorld("Cell")
    poses = [pair(m) for m in generic_poses(4, seed=11)]
    s = {**{name: kvr.KVRBasicBody3D(name) for name in "FXG"}, "P": kvr.KVRBasicPart3D("P"),
         "T": kvr.KVRBasicFrame3D("T"), "H": kvr.KVRBasicPath3D("H")}
    for name in "FXGP":
        w.addEntity(s[name])
    s["G"].addFrame(s["T"])
    s["F"].addPath(s["H"])
    for pose, (outer, inner) in zip(poses, ("FX", "FG", "XP")):
        s[outer].attachBody(s[inner], pose)
    s["T"].setFrameLocation(poses[3])
    s["H"].createPoints(2, "p", 1)
    s["G"].grabBody(s["P"])
    s["P"].setDescription("Lot \u00e9 7")
    w.setSimulationTime(2.25)
    w.flushLogicalState()
    s["F"].flushSpatialState()
    assert not any(events(w)) and kvr.KVRCheckModel(w) == []  # compared quiet
    saved = Snapshot.toJson(w)
    (path := tmp_path / "cell.json").write_text("an older cell")
    path.chmod(0o640)
    Snapshot.toFile(path, w)
    Snapshot.write(str(tmp_path / "same.json"), w)
    assert path.read_text(encoding="utf-8") == (tmp_path / "same.json").read_text(encoding="utf-8") == saved
    assert path.stat().st_mode & 0o777 == 0o640  # replaced in one step, keeping its mode
    with pytest.raises(IsADirectoryError):  # a save that fails leaves nothing half-written behind
        Snapshot.toFile(tmp_path, w)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cell.json", "same.json"]

    others = (Snapshot.fromFile(path), copy.deepcopy(w), copy.copy(w), pickle.loads(pickle.dumps(w)))
    for other in others:
        assert type(other) is kvr.KVRBasicWorld and other is not w and not other.hasLogicalParent()
        assert Snapshot.toJson(other) == saved and kvr.KVRCheckModel(other) == []
        part = other.findEntity("P")
        assert type(part) is kvr.KVRBasicPart3D and part.getDescription() == "Lot \u00e9 7"
        assert part.getInnerBody() is other.findEntity("G") and part.getInnerBody() is not s["G"]
        other.findEntity("G").setBaseLocation(((5, 5, 5), (1, 0, 0, 0)))
        other.findEntity("G").flushSpatialState()
        assert Snapshot.toJson(w) == saved  # moving a copy leaves the original where it stood
        other.orphan()

    # Pending events are not kept: a copy before a flush is quiet, and stands where the original does after.
    s["G"].setBaseLocation(((0, 0, 2), (1, 0, 0, 0)))
    assert any(events(w))
    quiet = copy.deepcopy(w)
    s["G"].flushSpatialState()
    assert not any(events(quiet)) and Snapshot.toJson(quiet) == Snapshot.toJson(w) != saved
    quiet.orphan()

    # Any root pickles, as its own class: a body in no tree with a frame on it.
    tool, tip = kvr.KVRBasicBody3D("Tool"), kvr.KVRBasicFrame3D("Tip")
    tool.addFrame(tip)
    tip.setFrameLocation(((0, 0, 0.1), (1, 0, 0, 0)))
    tool.flushLogicalState()
    again = pickle.loads(pickle.dumps(tool))
    assert type(again) is kvr.KVRBasicBody3D and type(again.findEntity("Tip")) is kvr.KVRBasicFrame3D
    assert Snapshot.toJson(again) == Snapshot.toJson(tool)
    for root in (again, tool):
        root.orphan()
    # Only a root copies: an entity below another would lose its parent.
    for refused, key, name in ((pickle.dumps, "G", 'Body "/G"'), (copy.deepcopy, "T", 'Frame "/G/T"')):
        with pytest.raises(TypeError, match=name):
            refused(s[key])
    # A root hanging on a body outside its tree cannot be rebuilt from its snapshot: no pickle.
    lone = kvr.KVRBasicBody3D("Lone")
    s["F"].attachBody(lone, ((1, 0, 0), (1, 0, 0, 0)))
    with pytest.raises(ValueError, match=r'Body "Lone" cannot be pickled.*field "body\.connection\.innerBody"'):
        pickle.dumps(lone)
    lone.orphan()

    # A world under the universe: the copy stands in no tree, and where the original stood it reads the same.
    universe = kvr.KVRBasicUniverse.getUniverse()
    universe.addEntity(w)
    w.flushLogicalState()
    s["F"].flushSpatialState()
    saved = Snapshot.toJson(w)
    copied = copy.deepcopy(w)
    joined = Snapshot.fromJson(saved, addToUniverse=True)
    assert not copied.hasLogicalParent() and joined.getLogicalParent() is universe
    universe.addEntity(copied)
    copied.flushLogicalState()
    assert Snapshot.toJson(copied) == Snapshot.toJson(joined) == saved
    for root in (copied, joined, w):
        root.orphan()


# A cell as a person writes it: ids left out, references by full name, poses in degrees.
HAND_WRITTEN = {"format": "KVRWorldModel snapshot", "version": 2, "entities": [
    {"name": "Bench", "class": "KVRBasicWorld", "world": {"time": 1.5}},
    {"name": "Table", "class": "KVRBasicBody3D", "logicalParent": "/Bench",
     "base": {"position": [2, 1, 0.5], "rpy": [0, 0, 90]}},
    {"name": "Corner", "class": "KVRBasicFrame3D", "logicalParent": "/Bench/Table", "spatialParent": "/Bench/Table",
     "relative": {"position": [0.5, 0.25, 0.75], "rpy": [90, 0, 0]}},
    {"name": "Tip", "class": "KVRBasicFrame3D", "logicalParent": "/Bench/Table",
     "spatialParent": "/Bench/Table/Corner", "relative": {"position": [0, 0, 1]}},
]}


def test_a_hand_written_cell_loads_and_bad_files_name_the_file_record_and_field(tmp_path):
    (path := tmp_path / "bench.json").write_text(json.dumps(HAND_WRITTEN))
    bench = Snapshot.fromFile(str(path))
    assert type(bench) is kvr.KVRBasicWorld and bench.getSimulationTime() == 1.5
    assert kvr.KVRCheckModel(bench) == [] and bench.getPendingEvents() == 0
    # The table is turned 90 degrees about z at (2, 1, 0.5): the corner at (0.5, 0.25, 0.75) on it stands at
    # (2 - 0.25, 1 + 0.5, 0.5 + 0.75); rolled 90 degrees about its x, its z is the world's x: the tip is 1 further.
    corner, tip = bench.findEntity("Table/Corner"), bench.findEntity("Table/Tip")
    assert corner.getBaseLocation().toTuple()[0] == pytest.approx((1.75, 1.5, 1.25), abs=1e-12)
    assert tip.getBaseLocation().toTuple()[0] == pytest.approx((2.75, 1.5, 1.25), abs=1e-12)
    bench.orphan()

    # Refusals: the path and the reason; nothing is built and nothing joins the universe.
    worlds = (universe := kvr.KVRBasicUniverse.getUniverse()).getLogicalChildrenCount()
    dangling = json.loads(json.dumps(HAND_WRITTEN))
    dangling["entities"][3]["spatialParent"] = "/Bench/Table/Nowhere"
    for name, text, reason in (("malformed.json", '{"format": ', r"is not JSON"), (
            "dangling.json", json.dumps(dangling),
            r'Record 3 \("/Bench/Table/Tip"\) of the cell, field "spatialParent": .*"/Bench/Table/Nowhere"')):
        (tmp_path / name).write_text(text)
        with pytest.raises(kvr.KVREInvalidArgument, match=f"^{re.escape(str(tmp_path / name))}: .*{reason}"):
            Snapshot.fromFile(tmp_path / name, addToUniverse=True)
        with pytest.raises(ValueError, match=reason):
            Snapshot.fromJson(text)
    assert universe.getLogicalChildrenCount() == worlds
    # A file that cannot be opened: the OSError of its cause, with the path.
    with pytest.raises(FileNotFoundError, match="missing.json"):
        Snapshot.fromFile(tmp_path / "missing.json")
    with pytest.raises(IsADirectoryError):
        Snapshot.fromFile(tmp_path)
    with pytest.raises(FileNotFoundError, match="no-such-folder"):
        Snapshot.toFile(tmp_path / "no-such-folder" / "cell.json", kvr.KVRBasicWorld("Empty"))
