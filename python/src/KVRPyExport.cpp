// The export tools: JSON snapshots and timelines, the text tree, the SVG top
// view and the HTML report, as text a script prints, parses or saves.

#include <fstream>

#include "KVRExport.h"
#include "KVRPyModule.h"

namespace kvrpy {

namespace {

using EntityHandle = KVRSharedHandle<KVRBasicEntity>;

// Writes a text the tools produced to `path`; OSError when that fails.
void save(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  if (out) out << text;
  if (!out) {
    PyErr_SetString(PyExc_OSError, ("cannot write " + path).c_str());
    throw py::error_already_set();
  }
}

}  // namespace

void bindExport(py::module_& m) {
  py::class_<KVRSnapshot>(m, "KVRSnapshot",
                          "Where everything below an entity stands at one moment, as a JSON document.")
      .def_static(
          "toJson",
          [](const EntityHandle& root, const py::object& time) {
            return time.is_none() ? KVRSnapshot::toJson(root)
                                  : KVRSnapshot::toJson(root, time.cast<KVRSimTime>());
          },
          py::arg("root"), py::arg("time") = py::none(),
          "At the world's simulation time, or at `time` (seconds or KVRSimTime).")
      .def_static(
          "write",
          [](const std::string& path, const EntityHandle& root) { save(path, KVRSnapshot::toJson(root)); },
          py::arg("path"), py::arg("root"), "Saves the snapshot to the file `path`.");

  py::class_<KVRTimeline>(m, "KVRTimeline",
                          "A run of a work cell recorded step by step, keeping what changed at each step.")
      .def(py::init<>())
      .def("getStepCount", &KVRTimeline::getStepCount)
      .def("getRecordCount", &KVRTimeline::getRecordCount)
      .def(
          "record",
          [](KVRTimeline& self, const EntityHandle& root, const py::object& time) {
            if (time.is_none())
              self.record(root);
            else
              self.record(root, time.cast<KVRSimTime>());
          },
          py::arg("root"), py::arg("time") = py::none())
      .def("toJson", &KVRTimeline::toJson)
      .def(
          "write", [](const KVRTimeline& self, const std::string& path) { save(path, self.toJson()); },
          py::arg("path"));

  py::class_<KVRTextTree>(m, "KVRTextTree", "Both trees below an entity as text, one line per entity.")
      .def_static("toText", &KVRTextTree::toText, py::arg("root"));

  py::class_<KVRSvgTopView>(m, "KVRSvgTopView", "A plan of the cell seen from above, as SVG.")
      .def_static(
          "toSvg",
          [](const EntityHandle& root) {
            return written([&](std::ostream& o) { KVRSvgTopView::write(o, root); });
          },
          py::arg("root"))
      .def_static(
          "toSvg",
          [](const KVRTimeline& timeline) {
            return written([&](std::ostream& o) { KVRSvgTopView::write(o, timeline); });
          },
          py::arg("timeline"), "The last step, with the trajectories of what moved.")
      .def_static(
          "toSvg", [](const std::string& exportJson) { return KVRSvgTopView::toSvg(exportJson); },
          py::arg("exportJson"), "From a snapshot or timeline document.");

  py::class_<KVRHtmlReport>(m, "KVRHtmlReport",
                            "One self-contained HTML file showing a snapshot or a timeline in a browser.")
      .def_static(
          "toHtml",
          [](const EntityHandle& root, const std::wstring& title) {
            return written([&](std::ostream& o) { KVRHtmlReport::write(o, root, title); });
          },
          py::arg("root"), py::arg("title"))
      .def_static(
          "toHtml",
          [](const KVRTimeline& timeline, const std::wstring& title) {
            return written([&](std::ostream& o) { KVRHtmlReport::write(o, timeline, title); });
          },
          py::arg("timeline"), py::arg("title"))
      .def_static(
          "toHtml",
          [](const std::string& exportJson, const std::wstring& title) {
            return written([&](std::ostream& o) { KVRHtmlReport::write(o, exportJson, title); });
          },
          py::arg("exportJson"), py::arg("title"));
}

}  // namespace kvrpy
