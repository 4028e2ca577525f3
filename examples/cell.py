#!/usr/bin/env python3
"""The demo's work cell, scripted from Python.

Moves frames in a world and shows that descendants follow at the flush; a
gripper picks a part off a fixture, carries it and puts it back; a fixture
assembly of two parts moves as one, and a pallet group carries boxes while
active; then reads and writes properties by path through the symbol table;
then a shuttle carries a pallet along a route with a turntable over
simulation time. Prints the same poses as `make demo`.

Run from the build tree, e.g.:
    PYTHONPATH=build/dev/python python3 examples/cell.py
"""

import math

import numpy as np

import kvrworldmodel as kvr


def section(heading):
    print(f"\n== {heading} ==")


def at(x, y, z, yaw_degrees=0.0):
    """A pose as a (position, quaternion (w, x, y, z)) pair: at x, y, z, turned about z."""
    half = yaw_degrees * math.pi / 180 / 2
    return ((x, y, z), (math.cos(half), 0.0, 0.0, math.sin(half)))


def cell_in_the_universe():
    """A world named Cell under the universe: full names start at it."""
    world = kvr.KVRBasicWorld("Cell")
    kvr.KVRBasicUniverse.getUniverse().addEntity(world)
    return world


def print_base(entity, digits=""):
    """The entity's full name and base location; with `digits` (".4") to that many significant digits."""
    name = entity.getEntityName(kvr.KVRBasicEntity.FullName)
    print(f"  {name:<28} {entity.getBaseLocation():{digits}}")


def moving_frames():
    """A conveyor frame with a slot and a sensor below it: moving the conveyor
    takes effect on it at once and on the others when it is flushed."""
    section("Frames in a world: descendants follow at the flush")
    world = cell_in_the_universe()
    conveyor, slot, sensor = (kvr.KVRBasicFrame3D(n) for n in ("Conveyor", "Slot1", "Sensor"))
    world.addEntity(conveyor)
    conveyor.addLogicalChild(slot)
    slot.addLogicalChild(sensor)
    conveyor.addSpatialChild(slot)
    slot.addSpatialChild(sensor)
    slot.setFrameLocation(at(0.5, 0, 0))
    sensor.setFrameLocation(np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0.2], [0, 0, 0, 1]]))
    world.flushLogicalState()
    conveyor.flushBaseLocation()
    for e in (conveyor, slot, sensor):
        print_base(e)

    conveyor.setBaseLocation(at(2, 1, 0, 90))
    print("moved the conveyor, before the flush:")
    for e in (conveyor, slot, sensor):
        print_base(e)
    conveyor.flushSpatialState()
    print("after the flush:")
    for e in (conveyor, slot, sensor):
        print_base(e)
    world.orphan()


def pick_and_place():
    """A gripper with a tool frame picks a part off a fixture, carries it and puts it back."""
    section("Pick and place")
    world = cell_in_the_universe()
    floor = kvr.KVRBasicBody3D("Floor")
    fixture = kvr.KVRBasicBody3D("Fixture")
    gripper = kvr.KVRBasicBody3D("Gripper")
    part = kvr.KVRBasicPart3D("Bracket")
    tool = kvr.KVRBasicFrame3D("Tool")
    for e in (floor, fixture, gripper, part):
        world.addEntity(e)
    gripper.addFrame(tool)
    tool.setFrameLocation(at(0, 0, -0.15))
    floor.attachBody(fixture, at(1, 0, 0.8))
    floor.attachBody(gripper, at(0, 0, 1.5))
    fixture.attachBody(part, at(0, 0, 0.05))
    world.flushLogicalState()

    def report(step):
        print(step)
        print_base(tool)
        print_base(part)
        attached = "" if part.isAttached() else " (not counted as attached)"
        print(f"  hangs on {part.getInnerBody().getEntityName()} through "
              f"{part.getInnerConnection().getEntityName()}{attached}")

    report("the part on its fixture:")

    above = kvr.Xform(at(1, 0, 1.0))  # the tool on the part
    gripper.setBaseLocation(above)
    gripper.flushSpatialState()
    gripper.grabBody(part, 1)
    report("grabbed by the gripper, where it stood:")

    gripper.setBaseLocation(at(0.2, 0.6, 1.2, 45))
    gripper.flushSpatialState()
    report("carried while the gripper moves:")

    gripper.setBaseLocation(above)
    gripper.flushSpatialState()
    part.detachBody()
    report("put back: the part returns to the body it hung on, where it was released:")

    try:
        part.attachBody(part)
    except kvr.KVRError as refusal:
        print(f"refused: {refusal}")
    world.orphan()


def assemblies_and_groups():
    """A fixture assembly holding two parts moves as one; a part is taken out and put back. A pallet
    group carries the boxes on it while active and leaves them behind when not."""
    section("A fixture assembly and a pallet group")
    world = cell_in_the_universe()
    floor = kvr.KVRBasicBody3D("Floor")
    fixture = kvr.KVRBasicMfgAssembly3D("Fixture")
    world.addEntity(floor)
    world.addEntity(fixture)
    floor.attachBody(fixture, at(1, 0, 0.8))
    bracket, plate = kvr.KVRBasicPart3D("Bracket"), kvr.KVRBasicPart3D("Plate")
    fixture.addBody(bracket, at(0.1, 0, 0.05), kvr.Xform.Identity)
    fixture.addBody(plate, at(-0.1, 0, 0.05, 90), kvr.Xform.Identity)
    world.flushLogicalState()
    print(fixture.dump(), end="")

    fixture.setBaseLocation(at(2, 1, 0.8, 90))
    fixture.flushSpatialState()
    print("the fixture moved; both parts follow:")
    for e in (fixture, bracket, plate):
        print_base(e)

    fixture.removeBody("Plate")
    print(f"the plate taken out: {fixture.getBodyCount()} body left; the plate stays at")
    print_base(plate)
    fixture.addBody(plate)
    plate.flushLogicalState()
    print(f"put back where it stands, through {plate.getInnerConnection().getEntityName()}: "
          f"{plate.getEntityTitle()}")
    try:
        fixture.addBody(floor)  # the floor is a child of the world
    except kvr.KVRError as refusal:
        print(f"refused: {refusal}")

    pallet = kvr.KVRBasicGroup3D("Pallet")
    box1, box2 = kvr.KVRBasicBody3D("Box1"), kvr.KVRBasicBody3D("Box2")
    for b in (pallet, box1, box2):
        world.addEntity(b)
    floor.attachBody(pallet, at(0, 2, 0))
    floor.attachBody(box1, at(0.2, 2, 0.1))
    floor.attachBody(box2, at(-0.2, 2, 0.1))
    world.flushLogicalState()
    pallet.addEntity(box1)
    pallet.addEntity(box2)
    pallet.activate()
    pallet.setBaseLocation(at(3, 2, 0, 0))
    pallet.flushSpatialState()
    print("the active pallet moved and carried its boxes:")
    for e in (box1, box2):
        print_base(e)
    pallet.deactivate()
    pallet.setBaseLocation(at(0, 2, 0))
    pallet.flushSpatialState()
    print("the inactive pallet moved back and left them behind:")
    for e in (box1, box2):
        print_base(e)
    world.orphan()


class Clamp:
    """A fixture's clamp, whose state the fixture publishes as a boolean property."""

    def __init__(self):
        self.closed = 1


def properties():
    """Properties read and written by path from the cell."""
    section("Properties by path through the symbol table")
    cell, line, conveyor, fixture = (kvr.KVRBasicEntity(n) for n in ("Cell", "Line1", "Conveyor", "Fixture"))
    cell.addLogicalChild(line)
    line.addLogicalChild(conveyor)
    line.addLogicalChild(fixture)
    cell.flushLogicalState()

    clamp = Clamp()
    fixture.addSymbol(kvr.KVRSymbolInt("clamped", get=lambda: clamp.closed,
                                       set=lambda value: setattr(clamp, "closed", value),
                                       type=kvr.KVRSymbolBase.BoolType))

    table = kvr.KVRWDMSymbolTable(cell)
    speed = table.getRealSymbol("Line1/Conveyor.speed", "/", ".")
    print(f"Line1/Conveyor.speed created on demand: {speed.getValue():g} "
          f"(Conveyor has {conveyor.getSymbolCount()} symbol)")
    speed.setValue(0.35)
    print(f"set through the copy, read by a new request: "
          f"{table.getRealSymbol('Line1/Conveyor.speed').getValue():g} (still {conveyor.getSymbolCount()} symbol)")

    flag = table.getboolSymbol("Line1/Fixture.clamped")
    print(f"Line1/Fixture.clamped read as boolean: {'closed' if flag.getValue() else 'open'}")
    flag.setValue(0)
    print(f"opened through the table, the clamp reads: {'closed' if clamp.closed else 'open'}")
    as_real = table.getRealSymbol("Line1/Fixture.clamped")
    print(f"Line1/Fixture.clamped as a real: {'not found' if as_real.getSymbolType() == 0 else 'found'}"
          " (a symbol of another type)")
    cell.orphan()


def shuttle_on_a_route():
    """A cart carries a pallet assembly with two parts along a route: straight, then a quarter turn riding a
    turntable (a tag point with reference frames), then straight again. At several simulation times the
    predicted pose of a part is printed next to where it stands once the cart has been moved there."""
    section("A shuttle carries a pallet along a route with a turntable")
    world = cell_in_the_universe()
    line = kvr.KVRBasicMfgAssembly3D("Line")  # the root assembly
    world.addEntity(line)
    cart = kvr.KVRBasicShuttle3D("Cart")
    pallet = kvr.KVRBasicMfgAssembly3D("Pallet")
    bracket, plate = kvr.KVRBasicPart3D("Bracket"), kvr.KVRBasicPart3D("Plate")
    line.addBody(cart)
    line.addBody(pallet, at(0, 0, 0.3), kvr.Xform.Identity)
    pallet.addBody(bracket, at(0.1, 0, 0.05), kvr.Xform.Identity)
    pallet.addBody(plate, at(-0.1, 0, 0.05, 90), kvr.Xform.Identity)

    # The route, in the line's coordinates shifted by 0.5 m along x: the turntable turns about (2, 1) while
    # the cart rides it from P1 to P2.
    route = kvr.KVRBasicPath3D("Route")
    line.addPath(route)
    route.setBaseLocation(at(0.5, 0, 0))
    route.flushSpatialState()
    route.createPoints(4, "P", 0)
    for i, stop in enumerate((at(0, 0, 0), at(2, 0, 0), at(3, 1, 0, 90), at(3, 3, 0, 90))):
        route.setTagPointRelativeLocation(i, stop)
    turntable = kvr.KVRMfgAssemblyTagPointExt()
    route.getTagPoint(2).addExtension(turntable)
    turntable.setReferenceFrame(at(2, 1, 0), at(2, 1, 0, 90), route)
    world.flushLogicalState()

    planner = kvr.KVRShuttlePlannerExt()
    cart.addExtension(planner)
    planner.setPath(route, 0.0, 10.0)
    planner.setScheduledStart(5.0)
    cart.addEntity(pallet)
    cart.activate()
    times = " ".join(f"{t:.4}" for t in planner.getTimes())
    print(f"planned times of P0..P3 on the planner's axis: {times} s; the move starts at 5 s of simulation time")

    for t in (6.0, 8.0, 10.0, 11.5, 15.0):
        predicted = kvr.KVRBasicShuttle3D.evaluateBodyPosition(bracket, t)
        planner.moveBasicObject(t - planner.getScheduledStart())  # on the planner's own time axis
        cart.flushSpatialState()
        print(f"at {t:.4g} s, {planner.getCurrentDistance():.4g} m along the route:")
        print_base(pallet, ".4")
        print_base(bracket, ".4")
        if predicted is not None:
            print(f"  predicted for the bracket     {predicted:.4}")
    velocity = kvr.KVRBasicShuttle3D.evaluateBodyVelocity(plate, 14.99)
    if velocity is not None:
        print(f"the plate's velocity near the end: {velocity:.4} m/s")
    world.orphan()


if __name__ == "__main__":
    moving_frames()
    pick_and_place()
    assemblies_and_groups()
    properties()
    shuttle_on_a_route()
