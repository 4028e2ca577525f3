"""Typed properties by path from Python. Scene: a cell C with a line L holding a conveyor V and a fixture X."""

import pytest
import kvrworldmodel as kvr


def test_symbols_made_on_request_or_in_python_read_and_write_through_the_table():
    c, line, conveyor, fixture = (kvr.KVRBasicEntity(n) for n in ("C", "L", "V", "X"))
    for parent, child in ((c, line), (line, conveyor), (line, fixture)):
        parent.addLogicalChild(child)
    c.flushLogicalState()
    table = kvr.KVRWDMSymbolTable(c)
    speed = table.getRealSymbol("L/V.speed")
    assert speed.getSymbolName() == "speed" and speed.getValue() == 0.0
    assert conveyor.getSymbolCount() == 1 and c.getSymbolCount() == 0
    speed.value = 0.35
    assert table.getRealSymbol("L/V.speed").getValue() == 0.35 and conveyor.getSymbolCount() == 1
    assert type(held := conveyor.getSymbol("speed")) is kvr.KVRSymbolReal and held.getValue() == 0.35
    # Symbols made in Python read and write through their callables.
    clamp = {"closed": 1, "serial": "A-17", "offset": (0.0, 0.0, 0.0)}
    fixture.addSymbol(kvr.KVRSymbolInt("clamped", get=lambda: clamp["closed"],
                                       set=lambda v: clamp.update(closed=v), type=kvr.KVRSymbolBase.BoolType))
    fixture.addSymbol(kvr.KVRSymbolString("serial", get=lambda: clamp["serial"]))
    fixture.addSymbol(kvr.KVRSymbolVect3D("offset", get=lambda: clamp["offset"],
                                          set=lambda v: clamp.update(offset=tuple(v))))
    conveyor.addSymbol(kvr.KVRSymbolReal.bindNew("rate", 1.5))
    flag = table.getboolSymbol("L/X.clamped")
    assert flag.getSymbolType() == kvr.KVRSymbolBase.BoolType and flag.getValue() == 1
    assert table.getInteger32Symbol("L/X.clamped").getValue() == 1  # int and boolean share the instance
    flag.setValue(0)
    assert clamp["closed"] == 0 and table.getstringSymbol("L/X.serial").getValue() == "A-17"
    offset = table.getVect3DSymbol("L/X.offset")
    offset.setValue((1, 2, 3))
    assert clamp["offset"] == (1.0, 2.0, 3.0) and offset.getValue() == kvr.Vector(1, 2, 3)
    assert table.getRealSymbol("L/V.rate").getValue() == 1.5
    # A symbol of another type is not found; its copy has no functors and says so.
    missing = table.getRealVectSymbol("L/X.serial")
    assert missing.getSymbolType() == 0 and not missing.hasGetFunctor()
    with pytest.raises(ValueError, match="has no get functor"):
        missing.getValue()
    with pytest.raises(ValueError, match="has no set functor"):
        table.getstringSymbol("L/X.serial").setValue("B-2")
    s, r = kvr.KVRSymbolString(), kvr.KVRSymbolReal()
    table.getSymbol(s, "L/X.serial")
    table.getSymbol(r, "L/X.nothing-here", "/", ".")
    assert s.getValue() == "A-17" and r.getSymbolType() == kvr.KVRSymbolBase.RealType  # a real one made on request
    # What a Python callable raises reaches the caller; bad values and callables are refused.
    conveyor.addSymbol(kvr.KVRSymbolReal("load", get=lambda: 1 / 0, set=lambda v: None))
    with pytest.raises(ZeroDivisionError):
        table.getRealSymbol("L/V.load")  # a real symbol found is read and written back
    with pytest.raises(Exception):
        kvr.KVRSymbolReal("kind", get=lambda: "not a number").getValue()
    with pytest.raises(TypeError):
        kvr.KVRSymbolReal("load", get=42)
    conveyor.removeSymbol("load")
    assert conveyor.getSymbol("load") is None
    c.orphan()
    # A table without an anchor finds nothing and creates nothing.
    table = kvr.KVRWDMSymbolTable()
    assert table.getEntity() is None and table.getRealSymbol("speed").getSymbolType() == 0
    table.setEntity(e := kvr.KVRBasicEntity("E"))
    assert table.getRealSymbol("speed").getValue() == 0.0 and e.getSymbolCount() == 1
    e.orphan()
    assert e.getSymbolCount() == 0
