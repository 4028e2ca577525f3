"""The world model of a 3-D manufacturing and robotics cell: worlds, bodies with frames and tag
points, connections, attaching and grabbing, assemblies and shuttles, tag paths, typed properties
by path; with the export (snapshots, cell files, reports) and history (where was it, who held it,
when will it arrive) tools.

Start with `help(kvrworldmodel.KVRBasicWorld)`; the README's quick start builds a cell."""

from ._core import *  # noqa: F401,F403  (the model's classes, functions and exceptions)
