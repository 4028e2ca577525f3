"""Refusals as Python exceptions: class, text, and a model left as it was. Scene, in world W: a line L with
robots R1, R2; a floor body F carrying a gripper G; a frame T on G, a frame S on T. In no world: A with a child B."""

import pytest
import kvrworldmodel as kvr

E = kvr.KVRBasicEntity


@pytest.fixture
def scene(world):
    s = {"W": world, **{n: E(n) for n in ("L", "R1", "R2", "A", "B")}, **{n: kvr.KVRBasicBody3D(n) for n in "FG"},
         **{n: kvr.KVRBasicFrame3D(n) for n in "TS"}}
    for parent, child in (("W", "L"), ("L", "R1"), ("L", "R2"), ("W", "F"), ("W", "G"), ("A", "B")):
        s[parent].addLogicalChild(s[child])
    s["F"].attachBody(s["G"], ((0, 0, 1), (1, 0, 0, 0)))
    s["G"].addFrame(s["T"])
    s["T"].addSpatialChild(s["S"])
    world.flushLogicalState()
    s["A"].flushLogicalState()
    yield s
    s["A"].orphan()  # parent and child hold each other until then


def snapshot(*roots):
    def visit(e):
        parent = e.getLogicalParent()
        yield e.getEntityName(E.FullName), parent and parent.getEntityName(E.FullName)
        if isinstance(e, kvr.KVRBasicEntity3D):
            yield e.getBaseLocation().toTuple()
        for child in e.getLogicalChildren():
            yield from visit(child)
    return [(list(visit(root)), kvr.KVRCheckModel(root)) for root in roots]


REFUSALS = [  # one of each class the model raises
    (kvr.KVREAlreadyRegistered, lambda s: s["W"].addEntity(s["R1"]),
     'Entity "/W/L/R1" has already been assigned a logical parent'),
    (kvr.KVREInvalidRelation, lambda s: s["B"].addLogicalChild(s["A"]),
     'Entity "/" cannot become a logical child of Entity "/B", which lies in its own subtree'),
    (kvr.KVRENotFound, lambda s: s["R1"].removeLogicalChild(s["R2"]),
     'Entity "/W/L/R2" is not a logical child of Entity "/W/L/R1"'),
    (kvr.KVREInvalidCast, lambda s: s["S"].getAttachedBody(),
     "The source and target handles have incompatible referent types"),
    (kvr.KVREInvalidArgument, lambda s: s["L"].addLogicalChild(None),
     'An empty handle was given as a logical child of Entity "/W/L"'),
]

needs = {name: pytest.mark.skipif(not hasattr(kvr, name), reason=f"built without {name}")
         for name in ("KVRTimeline", "KVRHistory")}
WRONG_TYPES = [  # as scripts get them wrong: Python's own exceptions, saying what was expected
    (TypeError, lambda s: kvr.KVRBasicBody3D(5), "a name must be a str, not int"),
    (TypeError, lambda s: s["G"].setEntityName(None), "name: str"),
    (TypeError, lambda s: s["G"].setBaseLocation("here"), "location: Pose"),
    (ValueError, lambda s: s["T"].setFrameLocation(((0, 0, 1j), (1, 0, 0, 0))), "the position must be three numbers"),
    (TypeError, lambda s: kvr.KVRSymbolReal.bindNew("v").setValue("fast"), "a symbol value must be a float, not str"),
    pytest.param(ValueError, lambda s: kvr.KVRTimeline().record(s["W"], float("nan")),
                 "a time must be a finite number of seconds, not nan", marks=needs["KVRTimeline"]),
    pytest.param(TypeError, lambda s: kvr.KVRHistory(s["W"], "1 s"),
                 "a time must be a KVRSimTime or a number of seconds, not str", marks=needs["KVRHistory"]),
]
BUILTIN = {kvr.KVRENotFound: LookupError, kvr.KVREInvalidCast: TypeError, kvr.KVREInvalidArgument: ValueError}


@pytest.mark.parametrize("error, call, text", REFUSALS + WRONG_TYPES)
def test_each_refusal_raises_its_class_with_its_text_and_changes_nothing(scene, error, call, text):
    before = snapshot(scene["W"], scene["A"])
    with pytest.raises(error) as refused:
        call(scene)
    if issubclass(error, kvr.KVRError):  # the model's: its class and exact text, and where it was raised
        assert str(refused.value) == text and type(refused.value) is error and error.__module__ == "kvrworldmodel"
        for base in (kvr.KVRERuntimeError, BUILTIN.get(error, Exception)):
            assert isinstance(refused.value, base)
        assert refused.value.file.endswith(".cpp") and refused.value.line > 0
    else:
        assert text in str(refused.value)
    assert snapshot(scene["W"], scene["A"]) == before


def test_binding_level_misuse_is_refused_before_the_model_is_called(scene):
    scene["W"].addEntity(loose := kvr.KVRBasicBody3D("Loose"))  # a free body refuses to move, with status 0
    assert loose.setBaseLocation(((1, 2, 3), (1, 0, 0, 0))) == 0 and loose.getBaseLocation() == kvr.Xform.Identity
    with pytest.raises(TypeError, match="a class filter must be a class of the world model"):
        scene["W"].getEntities(int)
    with pytest.raises(IndexError, match="event bits are numbered 0 to 63"):
        scene["L"].testEvent(64)
    with pytest.raises(TypeError, match="cannot be subclassed in Python"):
        class Robot(kvr.KVRBasicBody3D):
            pass
