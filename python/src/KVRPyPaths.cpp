// Paths (and, as they come, shuttles and their planners): tag paths, the
// ordered routes of tag points that moving things follow.

#include "KVRPyModule.h"

namespace kvrpy {

namespace {

using Path = KVRBasicPath3D;
using TagPointHandle = KVRSharedHandle<KVRBasicTagPoint3D>;

void bindPath(py::module_& m) {
  auto p = bindModelClass<Path, KVRBasicEntity3D>(
      m, "KVRBasicPath3D",
      "A tag path: an ordered route of tag points. Points it gathers become its children unless they\n"
      "have parents already; a listed point that moves sets the route-changed bit (17). A point may\n"
      "be listed more than once; indices count from 0.");
  p.attr("RelativeLocationChanged") = Path::RelativeLocationChanged;
  p.attr("RouteChanged") = Path::RouteChanged;
  addNamedConstructor(p);
  p.def("getTagPointCount", &Path::getTagPointCount)
      .def(
          "getTagPoint", [](const Path& self, unsigned int index) { return self.getTagPoint(index); },
          py::arg("index"), "None when the index is not below the count.")
      .def("getTagPoints",
           [](const Path& self) {
             KVRSharedVector<KVRBasicTagPoint3D> points;
             self.getTagPoints(points);
             return points;
           })
      .def("getIndex", &Path::getIndex, py::arg("point"), "The index of the first entry of the point, or -1.")
      .def(
          "setTagPoints",
          [](Path& self, KVRSharedVector<KVRBasicTagPoint3D> points) { self.setTagPoints(points); },
          py::arg("points"),
          "Replaces the route; a point the path cannot adopt leaves the old route in place.")
      .def("addTagPoint", &Path::addTagPoint, py::arg("point"))
      .def("insertTagPoint", &Path::insertTagPoint, py::arg("index"), py::arg("point"))
      .def("createPoints", &Path::createPoints, py::arg("count"), py::arg("prefix"), py::arg("first"),
           "Appends `count` new points named prefix + (first + i).")
      .def("removeTagPoint", py::overload_cast<const TagPointHandle&>(&Path::removeTagPoint),
           py::arg("point"))
      .def("removeTagPoint", py::overload_cast<unsigned int>(&Path::removeTagPoint), py::arg("index"))
      .def("removeTagPoints", &Path::removeTagPoints)
      .def("swap", &Path::swap, py::arg("i"), py::arg("j"))
      .def(
          "setTagPointRelativeLocation",
          [](Path& self, unsigned int index, const Pose& location) {
            return self.setTagPointRelativeLocation(index, location.value);
          },
          py::arg("index"), py::arg("location"));
}

}  // namespace

void bindPaths(py::module_& m) { bindPath(m); }

}  // namespace kvrpy
