// The export tools: JSON snapshots and timelines, the text tree, the SVG top
// view and the HTML report, as text a script prints, parses or saves; cells
// loaded back from their snapshots, and entity trees pickled and copied
// through them.

#include "KVRExport.h"
#include "KVRPyModule.h"

namespace kvrpy {

namespace {

using EntityHandle = KVRSharedHandle<KVRBasicEntity>;

// Files go through Python's own open(): a path may be a str or any
// os.PathLike, and a file that cannot be opened raises the OSError subclass
// of its cause (FileNotFoundError, PermissionError, IsADirectoryError, ...)
// carrying the path.
py::object openFile(const py::object& path, const char* mode) {
  return py::module_::import("io").attr("open")(path, mode);
}

// Writes a text the tools produced to `path`: into a new file beside it
// first, which then takes its place, so that a write failing partway (a full
// disk) leaves what `path` held as it was. A file replaced keeps its mode.
void save(const py::object& path, const std::string& text) {
  const py::module_ os = py::module_::import("os");
  const py::object target = os.attr("fsdecode")(path);
  const py::object part = target + py::str(".part-") + py::str(os.attr("getpid")());
  try {
    py::object file = openFile(part, "wb");
    try {
      file.attr("write")(py::bytes(text));
    } catch (...) {
      file.attr("close")();
      throw;
    }
    file.attr("close")();  // a failure to flush the last of the text raises here
    if (py::bool_(os.attr("path").attr("isfile")(target)))
      py::module_::import("shutil").attr("copymode")(target, part);
    os.attr("replace")(part, target);
  } catch (...) {
    if (py::bool_(os.attr("path").attr("exists")(part))) os.attr("remove")(part);
    throw;
  }
}

// The root of a new tree built from a snapshot document.
EntityHandle load(std::string_view text, bool addToUniverse) {
  KVRSnapshot::ReadOptions options;
  options.addToUniverse = addToUniverse;
  return KVRSnapshot::read(text, options);
}

EntityHandle loadFile(const py::object& path, bool addToUniverse) {
  KVRSnapshot::ReadOptions options;
  options.addToUniverse = addToUniverse;
  std::string text;
  py::object file = openFile(path, "rb");
  try {
    // In pieces: a read of the whole limit at once would reserve all of it.
    // One byte past the limit is enough for read() to refuse the document
    // as too large, without taking in the rest of a huge file.
    constexpr std::size_t Piece = std::size_t(1) << 16;
    while (text.size() <= options.maxBytes) {
      const py::bytes piece = file.attr("read")(Piece);
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(piece.ptr(), &data, &size) != 0) throw py::error_already_set();
      if (size == 0) break;
      text.append(data, static_cast<std::size_t>(size));
    }
  } catch (...) {
    file.attr("close")();
    throw;
  }
  file.attr("close")();
  try {
    return KVRSnapshot::read(text, options);
  } catch (const KVREInvalidArgument& e) {
    // The reader names the record and the field; the path tells which of
    // the files a script loads holds them.
    const std::wstring where = py::module_::import("os").attr("fsdecode")(path).cast<std::wstring>();
    throw KVREInvalidArgument(L"%1: %2", e.message().getFile(), e.message().getLine())
        << where << e.getMessage();
  }
}

// A tree is copied through its root's snapshot, which holds the whole tree:
// an entity below another would lose its parent, and the references its
// subtree makes to the rest of the tree. A world under the universe counts
// as a root (its copy stands in no tree).
void requireRoot(const KVRBasicEntity& entity, const char* what) {
  if (!entity.hasLogicalParent() || entity.getLogicalParent().get() == KVRBasicUniverse::getUniverse().get())
    return;
  throw py::type_error("cannot " + std::string(what) + " " + KVRToUtf8(titleOf(entity)) +
                       ": only the root of a tree (a world, or an entity in no tree) is copied, with the "
                       "whole tree; " +
                       what + " its root instead");
}

// The copy of the tree below `root`, built from its snapshot; stands in no tree.
EntityHandle copyTree(const EntityHandle& root) {
  requireRoot(*root, "copy");
  return load(KVRSnapshot::toJson(root), false);
}

// pickle: the snapshot text, rebuilt on loading by
// operator.methodcaller("fromJson", text) applied to the class KVRSnapshot.
// pickle stores both by name; a function of an extension module could not
// be pickled itself. The snapshot is read back here once, so that a tree
// that cannot be rebuilt (an unsound model, a reference to an entity
// outside the tree) is refused now, rather than pickled into data no
// process can load.
py::tuple reduce(const EntityHandle& self) {
  requireRoot(*self, "pickle");
  std::string text = KVRSnapshot::toJson(self);
  try {
    load(text, false)->orphanObject();
  } catch (const KVREInvalidArgument& e) {
    throw KVREInvalidArgument(L"%1 cannot be pickled: its snapshot does not read back: %2",
                              e.message().getFile(), e.message().getLine())
        << titleOf(*self) << e.getMessage();
  }
  const py::object snapshotClass = py::module_::import("kvrworldmodel").attr("KVRSnapshot");
  const py::object loader = py::module_::import("operator").attr("methodcaller")("fromJson", py::bytes(text));
  return py::make_tuple(loader, py::make_tuple(snapshotClass));
}

// Adds a method to a class bound in another file.
template <class Function, class... Extra>
void addMethod(const py::object& cls, const char* name, Function&& f, const Extra&... extra) {
  cls.attr(name) = py::cpp_function(std::forward<Function>(f), py::name(name), py::is_method(cls), extra...);
}

}  // namespace

void bindExport(py::module_& m) {
  py::class_<KVRSnapshot>(m, "KVRSnapshot",
                          "Where everything below an entity stands at one moment, as a JSON document;\n"
                          "read back, the document builds the same tree again (a cell file).")
      .def_static(
          "toJson",
          [](const EntityHandle& root, const py::object& time) {
            return time.is_none() ? KVRSnapshot::toJson(root) : KVRSnapshot::toJson(root, timeArg(time));
          },
          py::arg("root"), py::arg("time") = py::none(),
          "The snapshot of `root` as a JSON document, at its world's simulation time or at `time` (a\n"
          "KVRSimTime or seconds). KVREInvalidArgument for None.")
      .def_static(
          "write",
          [](const py::object& path, const EntityHandle& root) { save(path, KVRSnapshot::toJson(root)); },
          py::arg("path"), py::arg("root"), "Saves the snapshot to the file `path`; same as toFile().")
      .def_static(
          "toFile",
          [](const py::object& path, const EntityHandle& root) { save(path, KVRSnapshot::toJson(root)); },
          py::arg("path"), py::arg("root"),
          "Saves the snapshot of `root` at its world's simulation time to the file `path` (a str or\n"
          "os.PathLike), replacing what it held; fromFile() reads it back. OSError when the file\n"
          "cannot be written.")
      .def_static(
          "fromJson", [](std::string_view text, bool addToUniverse) { return load(text, addToUniverse); },
          py::arg("text"), py::arg("addToUniverse") = false,
          "The root of a new tree built from a snapshot document (str or UTF-8 bytes): a world, or\n"
          "whatever entity the snapshot was taken of, as its own class. The tree is quiet (no pending\n"
          "events) and stands in no tree, except that with `addToUniverse` a world joins the universe;\n"
          "orphan it when done with it, as any tree. A document that is not a sound cell raises\n"
          "KVREInvalidArgument (a ValueError) naming the record and the field, and builds nothing.")
      .def_static(
          "fromFile",
          [](const py::object& path, bool addToUniverse) { return loadFile(path, addToUniverse); },
          py::arg("path"), py::arg("addToUniverse") = false,
          "fromJson() of the file `path` (a str or os.PathLike), as toFile() wrote it or a person did.\n"
          "A file that cannot be opened raises the OSError of its cause with the path; a document that\n"
          "is not a sound cell raises KVREInvalidArgument (a ValueError) naming the path, the record and\n"
          "the field.");

  // Entity trees pickle and copy through their root's snapshot.
  const py::object entity = m.attr("KVRBasicEntity");
  addMethod(entity, "__reduce__", &reduce,
            "Pickles the tree below this entity, a root (a world, or an entity in no tree), as its\n"
            "snapshot; loading rebuilds it with KVRSnapshot.fromJson() in any process, standing in no\n"
            "tree. Pending events are not kept: the copy stands where the original stands once flushed.\n"
            "TypeError for an entity below another; KVREInvalidArgument, when pickling, for a tree its\n"
            "snapshot cannot rebuild (one hanging on an entity outside it, or one the model check finds\n"
            "unsound).");
  addMethod(
      entity, "__deepcopy__", [](const EntityHandle& self, const py::object&) { return copyTree(self); },
      py::arg("memo"),
      "An independent copy of the tree below this root, built from its snapshot as pickle does:\n"
      "quiet, standing in no tree (orphan it when done with it). TypeError for an entity below\n"
      "another; KVREInvalidArgument for a tree its snapshot cannot rebuild.");
  addMethod(entity, "__copy__", &copyTree,
            "Same as copy.deepcopy(): the tree below a root cannot be shared by two roots, so a copy is\n"
            "always the whole tree.");

  py::class_<KVRTimeline>(m, "KVRTimeline",
                          "A run of a work cell recorded step by step, keeping what changed at each step.")
      .def(py::init<>(), "An empty timeline.")
      .def("getStepCount", &KVRTimeline::getStepCount, "The number of steps recorded.")
      .def("getRecordCount", &KVRTimeline::getRecordCount,
           "The number of entity records kept over all steps.")
      .def(
          "record",
          [](KVRTimeline& self, const EntityHandle& root, const py::object& time) {
            if (time.is_none())
              self.record(root);
            else
              self.record(root, timeArg(time));
          },
          py::arg("root"), py::arg("time") = py::none(),
          "Records the next step: what changed below `root`, at its world's simulation time or at `time`\n"
          "(a KVRSimTime or seconds). KVREInvalidArgument, recording nothing, for None or a root other\n"
          "than the first step's.")
      .def("toJson", &KVRTimeline::toJson, "The timeline as a JSON document.")
      .def(
          "write", [](const KVRTimeline& self, const py::object& path) { save(path, self.toJson()); },
          py::arg("path"), "Saves the document to the file `path`, replacing it; OSError when it cannot.")
      .def(
          "__repr__",
          [](const KVRTimeline& self) {
            const int steps = self.getStepCount();
            return "<KVRTimeline " + std::to_string(steps) + (steps == 1 ? " step, " : " steps, ") +
                   std::to_string(self.getRecordCount()) + " records>";
          },
          "<KVRTimeline 3 steps, 42 records>.");

  py::class_<KVRTextTree>(m, "KVRTextTree", "Both trees below an entity as text, one line per entity.")
      .def_static("toText", &KVRTextTree::toText, py::arg("root"),
                  "The logical tree with types and base locations, then the spatial tree, as text.");

  py::class_<KVRSvgTopView>(m, "KVRSvgTopView", "A plan of the cell seen from above, as SVG.")
      .def_static(
          "toSvg",
          [](const EntityHandle& root) {
            return written([&](std::ostream& o) { KVRSvgTopView::write(o, root); });
          },
          py::arg("root"), "The cell below `root` as it stands, seen from above (x right, y up).")
      .def_static(
          "toSvg",
          [](const KVRTimeline& timeline) {
            return written([&](std::ostream& o) { KVRSvgTopView::write(o, timeline); });
          },
          py::arg("timeline"), "The last step, with the trajectories of what moved.")
      .def_static(
          "toSvg", [](const std::string& exportJson) { return KVRSvgTopView::toSvg(exportJson); },
          py::arg("exportJson"),
          "From a snapshot or timeline document; KVREInvalidArgument when it is neither.");

  py::class_<KVRHtmlReport>(m, "KVRHtmlReport",
                            "One self-contained HTML file showing a snapshot or a timeline in a browser.")
      .def_static(
          "toHtml",
          [](const EntityHandle& root, const std::wstring& title) {
            return written([&](std::ostream& o) { KVRHtmlReport::write(o, root, title); });
          },
          py::arg("root"), py::arg("title"),
          "The page of the cell below `root` as it stands, headed `title`.")
      .def_static(
          "toHtml",
          [](const KVRTimeline& timeline, const std::wstring& title) {
            return written([&](std::ostream& o) { KVRHtmlReport::write(o, timeline, title); });
          },
          py::arg("timeline"), py::arg("title"), "The page of a recorded run, with a slider over its steps.")
      .def_static(
          "toHtml",
          [](const std::string& exportJson, const std::wstring& title) {
            return written([&](std::ostream& o) { KVRHtmlReport::write(o, exportJson, title); });
          },
          py::arg("exportJson"), py::arg("title"),
          "From a snapshot or timeline document; KVREInvalidArgument when it is neither.");
}

}  // namespace kvrpy
