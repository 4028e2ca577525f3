"""The model's refusals as Python exceptions: the class, the message text, and a model left as it was.

Scene, in world W: a line L with robots R1 and R2 as logical children; a floor body F carrying a
gripper G through an attachment; a frame T on G, and a frame S standing on T (not on a body).
Outside any world: an entity A with a child B."""

import re

import pytest

import kvrworldmodel as kvr

E = kvr.KVRBasicEntity


@pytest.fixture
def scene(world):
    s = {"W": world}
    s["L"], s["R1"], s["R2"] = (E(n) for n in ("L", "R1", "R2"))
    world.addEntity(s["L"])
    s["L"].addLogicalChild(s["R1"])
    s["L"].addLogicalChild(s["R2"])
    s["F"], s["G"] = kvr.KVRBasicBody3D("F"), kvr.KVRBasicBody3D("G")
    s["T"], s["S"] = kvr.KVRBasicFrame3D("T"), kvr.KVRBasicFrame3D("S")
    world.addEntity(s["F"])
    world.addEntity(s["G"])
    s["F"].attachBody(s["G"], ((0, 0, 1), (1, 0, 0, 0)))
    s["G"].addFrame(s["T"])
    s["T"].addSpatialChild(s["S"])
    s["A"], s["B"] = E("A"), E("B")
    s["A"].addLogicalChild(s["B"])
    world.flushLogicalState()
    s["A"].flushLogicalState()
    yield s
    s["A"].orphan()  # parent and child hold each other until then


def snapshot(*roots):
    """What a refusal must not change: every name, parent and base location, and the model's soundness."""
    state = []

    def visit(e):
        parent = e.getLogicalParent()
        state.append((e.getEntityName(E.FullName), parent and parent.getEntityName(E.FullName)))
        if isinstance(e, kvr.KVRBasicEntity3D):
            state.append(e.getBaseLocation().toTuple())
        for child in e.getLogicalChildren():
            visit(child)

    for root in roots:
        visit(root)
        state.append(kvr.KVRCheckModel(root))
    return state


REFUSALS = [
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
    (kvr.KVREInvalidArgument, lambda s: s["R1"].setEntityName("R\n1"),
     'A line feed cannot be part of the name of Entity "/W/L/R1"'),
    (kvr.KVREAlreadyRegistered, lambda s: s["F"].attachBodies(s["G"]),
     'Body "/W/G" is already connected to another body'),
    (kvr.KVREInvalidRelation, lambda s: s["G"].attachBody(s["G"]),
     "The inner and outer bodies cannot be the same entity"),
]


@pytest.mark.parametrize("error, call, text", REFUSALS, ids=[r[0].__name__ + str(i) for i, r in enumerate(REFUSALS)])
def test_each_refusal_raises_its_class_with_the_model_text_and_changes_nothing(scene, error, call, text):
    before = snapshot(scene["W"], scene["A"])
    with pytest.raises(error) as refused:
        call(scene)
    assert str(refused.value) == text
    assert type(refused.value) is error
    assert isinstance(refused.value, kvr.KVRERuntimeError) and isinstance(refused.value, kvr.KVRError)
    assert refused.value.file.endswith(".cpp") and refused.value.line > 0
    assert snapshot(scene["W"], scene["A"]) == before


def test_the_exception_classes_also_read_as_the_builtin_ones_they_resemble():
    assert issubclass(kvr.KVRENotFound, LookupError)
    assert issubclass(kvr.KVREInvalidCast, TypeError)
    assert issubclass(kvr.KVREInvalidArgument, ValueError)
    for cls in (kvr.KVRENotFound, kvr.KVREAlreadyRegistered, kvr.KVREInvalidRelation, kvr.KVREInvalidCast,
                kvr.KVREInvalidArgument):
        assert issubclass(cls, kvr.KVRERuntimeError) and issubclass(cls, kvr.KVRError)
        assert cls.__module__ == "kvrworldmodel"


def test_a_free_body_refuses_location_requests_with_status_0(scene):
    loose = kvr.KVRBasicBody3D("Loose")
    scene["W"].addEntity(loose)
    assert loose.setBaseLocation(((1, 2, 3), (1, 0, 0, 0))) == 0
    assert loose.getBaseLocation() == kvr.Xform.Identity


def test_binding_level_misuse_is_refused_before_the_model_is_called(scene):
    with pytest.raises(TypeError, match="a class filter must be a class of the world model"):
        scene["W"].getEntities(int)
    with pytest.raises(IndexError, match="event bits are numbered 0 to 63"):
        scene["L"].testEvent(64)
    with pytest.raises(TypeError, match="cannot be subclassed in Python"):
        class Robot(kvr.KVRBasicBody3D):
            pass


needs = {name: pytest.mark.skipif(not hasattr(kvr, name), reason=f"built without {name}")
         for name in ("KVRTimeline", "KVRHistory")}

WRONG_TYPES = [  # (error, message, call) as scripts get them wrong
    (TypeError, "a name must be a str, not int", lambda s: kvr.KVRBasicBody3D(5)),
    (TypeError, "name: str", lambda s: s["G"].setEntityName(None)),
    (TypeError, "location: Pose", lambda s: s["G"].setBaseLocation("here")),
    (ValueError, "the position must be three numbers", lambda s: s["T"].setFrameLocation(((0, 0, 1j), (1, 0, 0, 0)))),
    (TypeError, "a symbol value must be a float, not str", lambda s: kvr.KVRSymbolReal.bindNew("v").setValue("fast")),
    pytest.param(ValueError, "a time must be a finite number of seconds, not nan",
                 lambda s: kvr.KVRTimeline().record(s["W"], float("nan")), marks=needs["KVRTimeline"]),
    pytest.param(TypeError, "a time must be a KVRSimTime or a number of seconds, not str",
                 lambda s: kvr.KVRHistory(s["W"], "1 s"), marks=needs["KVRHistory"]),
]


@pytest.mark.parametrize("error, text, call", WRONG_TYPES)
def test_a_wrong_python_type_says_what_was_expected_and_changes_nothing(scene, error, text, call):
    before = snapshot(scene["W"], scene["A"])
    with pytest.raises(error, match=re.escape(text)):
        call(scene)
    assert snapshot(scene["W"], scene["A"]) == before
