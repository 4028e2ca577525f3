"""Typed properties by path from Python: symbols the model makes, symbols a script makes, and the table.

Scene: a cell C with a line L holding a conveyor V and a fixture X (no world needed)."""

import pytest

import kvrworldmodel as kvr


@pytest.fixture
def cell():
    c, line, conveyor, fixture = (kvr.KVRBasicEntity(n) for n in ("C", "L", "V", "X"))
    c.addLogicalChild(line)
    line.addLogicalChild(conveyor)
    line.addLogicalChild(fixture)
    c.flushLogicalState()
    yield c, conveyor, fixture
    c.orphan()


def test_a_real_symbol_is_made_on_request_and_copies_share_its_value(cell):
    c, conveyor, _ = cell
    table = kvr.KVRWDMSymbolTable(c)
    speed = table.getRealSymbol("L/V.speed")
    assert speed.getSymbolName() == "speed" and speed.getValue() == 0.0
    assert conveyor.getSymbolCount() == 1 and c.getSymbolCount() == 0
    speed.value = 0.35
    again = table.getRealSymbol("L/V.speed")
    assert again.getValue() == 0.35 and conveyor.getSymbolCount() == 1
    held = conveyor.getSymbol("speed")
    assert type(held) is kvr.KVRSymbolReal and held.getValue() == 0.35


def test_symbols_made_in_python_read_and_write_through_their_callables(cell):
    c, conveyor, fixture = cell
    clamp = {"closed": 1, "serial": "A-17", "offset": (0.0, 0.0, 0.0)}
    fixture.addSymbol(kvr.KVRSymbolInt("clamped", get=lambda: clamp["closed"],
                                       set=lambda v: clamp.update(closed=v), type=kvr.KVRSymbolBase.BoolType))
    fixture.addSymbol(kvr.KVRSymbolString("serial", get=lambda: clamp["serial"]))
    fixture.addSymbol(kvr.KVRSymbolVect3D("offset", get=lambda: clamp["offset"],
                                          set=lambda v: clamp.update(offset=tuple(v))))
    conveyor.addSymbol(kvr.KVRSymbolReal.bindNew("speed", 1.5))
    table = kvr.KVRWDMSymbolTable(c)

    flag = table.getboolSymbol("L/X.clamped")
    assert flag.getSymbolType() == kvr.KVRSymbolBase.BoolType and flag.getValue() == 1
    assert table.getInteger32Symbol("L/X.clamped").getValue() == 1  # int and boolean share the instance
    flag.setValue(0)
    assert clamp["closed"] == 0
    assert table.getstringSymbol("L/X.serial").getValue() == "A-17"
    offset = table.getVect3DSymbol("L/X.offset")
    offset.setValue((1, 2, 3))
    assert clamp["offset"] == (1.0, 2.0, 3.0) and offset.getValue() == kvr.Vector(1, 2, 3)
    assert table.getRealSymbol("L/V.speed").getValue() == 1.5

    # A symbol of another type is not found; its copy has no functors and says so.
    missing = table.getRealVectSymbol("L/X.serial")
    assert missing.getSymbolType() == 0 and not missing.hasGetFunctor()
    with pytest.raises(ValueError, match="has no get functor"):
        missing.getValue()
    with pytest.raises(ValueError, match="has no set functor"):
        table.getstringSymbol("L/X.serial").setValue("B-2")
    # The out-argument form fills a symbol of the right type and leaves others alone.
    s = kvr.KVRSymbolString()
    table.getSymbol(s, "L/X.serial")
    assert s.getValue() == "A-17"
    r = kvr.KVRSymbolReal()
    table.getSymbol(r, "L/X.nothing-here", "/", ".")
    assert r.getSymbolType() == kvr.KVRSymbolBase.RealType  # a real one is created on request


def test_what_a_python_callable_raises_reaches_the_caller_and_bad_values_are_refused_first(cell):
    c, conveyor, _ = cell

    def broken():
        raise RuntimeError("sensor offline")

    conveyor.addSymbol(kvr.KVRSymbolReal("load", get=broken, set=lambda v: None))
    table = kvr.KVRWDMSymbolTable(c)
    with pytest.raises(RuntimeError, match="sensor offline"):
        table.getRealSymbol("L/V.load")  # a real symbol found is read and written back
    wrong = kvr.KVRSymbolReal("kind", get=lambda: "not a number")
    with pytest.raises(Exception):
        wrong.getValue()
    with pytest.raises(TypeError):
        kvr.KVRSymbolReal("load", get=42)
    conveyor.removeSymbol("load")
    assert conveyor.getSymbol("load") is None


def test_a_table_without_anchor_finds_nothing_and_creates_nothing():
    table = kvr.KVRWDMSymbolTable()
    assert table.getEntity() is None
    assert table.getRealSymbol("speed").getSymbolType() == 0
    e = kvr.KVRBasicEntity("E")
    table.setEntity(e)
    assert table.getRealSymbol("speed").getValue() == 0.0 and e.getSymbolCount() == 1
    e.orphan()
    assert e.getSymbolCount() == 0
