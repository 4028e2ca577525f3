"""help() has text for every public name, overload and property, and every object prints as what it is."""

import re
import kvrworldmodel as kvr

CLASSES = {n: v for n, v in vars(kvr).items()
           if isinstance(v, type) and not n.startswith("_") and not issubclass(v, BaseException)}
BOUND = type(vars(kvr.KVRBasicVector3D)["__init__"])  # a function of the module, as a method


def constructible(cls):
    """Whether the class has a constructor of its own (pybind11 gives the others one that refuses)."""
    return isinstance(vars(cls).get("__init__"), BOUND)


def own_texts(name, doc):
    """The text each overload of a function adds to the signature line pybind11 writes for it."""
    doc = doc or ""
    if "\nOverloaded function.\n" in doc:
        return [part.strip() for part in re.split(rf"^\d+\. {re.escape(name)}\(.*$", doc, flags=re.M)[1:]]
    first, _, rest = doc.partition("\n")
    return [rest.strip() if first.startswith(name + "(") else doc.strip()]


def documented(qualname, value):
    """(qualname, text) of a class and of everything public it defines; enumerations by their own text."""
    yield qualname, (value.__doc__ or "").split("Members:")[0].strip()
    if hasattr(value, "__members__"):
        return
    for name, member in vars(value).items():
        if name.startswith("_") and not (name == "__init__" and constructible(value)):
            continue
        if isinstance(member, type):
            yield from documented(f"{qualname}.{name}", member)
        elif isinstance(member, property):
            yield f"{qualname}.{name}", (member.__doc__ or "").strip()
        elif callable(member) or isinstance(member, staticmethod):
            member = getattr(member, "__func__", member)
            for text in own_texts(name, member.__doc__):
                yield f"{qualname}.{name}", text


def test_every_public_name_has_a_docstring_beyond_its_signature():
    texts = [item for name, value in CLASSES.items() for item in documented(name, value)]
    texts += [(name, text) for name, value in vars(kvr).items()
              if not name.startswith("_") and callable(value) and not isinstance(value, type)
              for text in own_texts(name, value.__doc__)]
    assert len(texts) > 400 and sorted({name for name, text in texts if not text}) == []


def has_instances(cls):
    """Whether objects of the class exist: a constructor or instance members, not only static functions."""
    return constructible(cls) or any(
        isinstance(v, property) or (callable(v) and not isinstance(v, (staticmethod, type)))
        for n, v in vars(cls).items() if not n.startswith("_"))


def test_every_object_prints_as_what_it_is(world):
    assert [n for n, c in CLASSES.items() if has_instances(c) and c.__repr__ is object.__repr__] == []
    # Each entity class names itself and the entity; an entity in no tree by its base name.
    entity_classes = [c for c in CLASSES.values() if issubclass(c, kvr.KVRBasicEntity) and constructible(c)]
    assert len(entity_classes) >= 12
    assert all(repr(c("Part")).startswith(f'<{c.__name__} "Part"') for c in entity_classes)
    line, cart, part = kvr.KVRBasicEntity("Line"), kvr.KVRBasicShuttle3D("Cart"), kvr.KVRBasicPart3D("Part")
    for parent, child in ((world, line), (line, cart), (line, part)):
        parent.addLogicalChild(child)
    world.setSimulationTime(1.5)
    world.flushLogicalState()
    cart.addEntity(part)
    cart.activate()
    assert repr(planner := kvr.KVRShuttlePlannerExt()) == "<KVRShuttlePlannerExt unattached, no path, no plan>"
    cart.addExtension(planner)
    assert repr(world) == '<KVRBasicWorld "/W" at 1.5 s>'
    assert repr(part) == '<KVRBasicPart3D "/W/Line/Part">'
    assert repr(cart) == '<KVRBasicShuttle3D "/W/Line/Cart" active, 1 member>'
    assert repr(planner) == '<KVRShuttlePlannerExt of "/W/Line/Cart", no path, no plan>'
    assert repr(kvr.KVRWDMSymbolTable(line)) == '<KVRWDMSymbolTable at "/W/Line">'
    (gone := kvr.KVRBasicBody3D("Gone")).orphan()
    assert repr(gone) == '<KVRBasicBody3D "Gone" orphaned>'
    assert repr(kvr.KVRSimTime(1.5)) == "KVRSimTime(1.5)"
    for t in (kvr.KVRSimTime(-0.5), kvr.KVRSimTime(2**40, 1), kvr.KVRSimTime(0, 1)):
        assert eval(repr(t), vars(kvr)) == t
