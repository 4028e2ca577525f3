#pragma once

// KVRSvgTopView: a plan of the cell seen from above (the x-y plane, x to the
// right, y up) as a plain SVG picture: bodies as squares with their names,
// frames as small x-y triads, tag points as dots, paths as polylines through
// their points, and for a timeline the trajectory of every body that moved
// over the steps, with a scale bar. Hovering an element shows its full name.

#include <iosfwd>
#include <string>
#include <string_view>

#include "KVRBasicEntity.h"
#include "KVRExportAPI.h"

class KVRTimeline;

class KVREXPORT_API KVRSvgTopView {
 public:
  // From a snapshot or timeline document (KVRSnapshot, KVRTimeline): the
  // last step's state, with trajectories over all steps. KVREInvalidArgument
  // when the text is not such a document.
  static void write(std::ostream& out, std::string_view exportJson);
  static void write(std::ostream& out, const KVRTimeline& timeline);
  static void write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root);
  static std::string toSvg(std::string_view exportJson);
};
