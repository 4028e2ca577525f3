"""The export tools from Python: documents a script parses, prints or saves."""

import json

import pytest
import kvrworldmodel as kvr

pytestmark = pytest.mark.skipif(not hasattr(kvr, "KVRSnapshot"), reason="built without the export tools")


def test_a_snapshot_and_a_timeline_hold_where_every_entity_stands(world, tmp_path):
    world.addEntity(floor := kvr.KVRBasicBody3D("Floor"))
    world.addEntity(gripper := kvr.KVRBasicBody3D("Gripper"))
    floor.attachBody(gripper, ((0.2, -0.2, 1.5), (1, 0, 0, 0)))
    world.setSimulationTime(2.5)
    world.flushLogicalState()
    doc = json.loads(kvr.KVRSnapshot.toJson(world))
    assert doc["format"] == "KVRWorldModel snapshot" and doc["time"] == 2.5
    record = next(e for e in doc["entities"] if e["fullName"] == "/W/Gripper")
    assert record["base"]["position"] == list(gripper.getBaseLocation().toTuple()[0])
    assert json.loads(kvr.KVRSnapshot.toJson(world, 4))["time"] == 4
    with pytest.raises(kvr.KVREInvalidArgument):
        kvr.KVRSnapshot.toJson(None)
    (timeline := kvr.KVRTimeline()).record(world)  # every view renders it
    gripper.setBaseLocation(((1, 1, 1.5), (1, 0, 0, 0)))
    gripper.flushSpatialState()
    timeline.record(world, 3.0)
    assert timeline.getStepCount() == 2 and len(steps := json.loads(timeline.toJson())["steps"]) == 2
    assert [s["time"] for s in steps] == [2.5, 3.0]
    assert [e["name"] for e in steps[1]["entities"]] == ["Gripper"]  # only what changed
    assert "Gripper  Body  1 1 1.5 | rpy 0 0 0" in kvr.KVRTextTree.toText(world)
    assert kvr.KVRSvgTopView.toSvg(timeline).lstrip().startswith("<svg")
    assert kvr.KVRSvgTopView.toSvg(kvr.KVRSnapshot.toJson(world)) == kvr.KVRSvgTopView.toSvg(world)
    assert all(text in kvr.KVRHtmlReport.toHtml(timeline, "Cell run") for text in ("<html", "Cell run"))
    timeline.write(str(tmp_path / "run.json"))
    assert json.loads((tmp_path / "run.json").read_text()) == json.loads(timeline.toJson())
    with pytest.raises(OSError):
        timeline.write(str(tmp_path / "missing" / "run.json"))
    with pytest.raises(kvr.KVREInvalidArgument):
        kvr.KVRSvgTopView.toSvg("not a document")
