#pragma once

// KVRHtmlReport: one self-contained HTML file that shows a snapshot or a
// timeline in any browser, opened from disk with no server and no network.
// It holds the data and the viewer (three.js included): a 3-D view with orbit
// controls, a box per body, a triad per frame, a dot per tag point and a line
// per path, names on hover; the logical tree beside it, where a click
// highlights the entity; and for a timeline a slider over the steps with play
// and pause. For the selected body a strip along the slider shows who held it
// when (hand-overs as segments that touch), and a translucent ghost stands
// where a shuttle's plan puts it when the slider is at the end of the move,
// past the last step if need be. Each body has its own colour, and names can
// be shown in the view. Large worlds are drawn with one instanced draw per
// kind of thing.
//
// The page publishes what it shows as window.kvrViewer (see viewer.js), for
// tests and for a person at the browser's console.

#include <iosfwd>
#include <string>
#include <string_view>

#include "KVRBasicEntity.h"
#include "KVRExportAPI.h"

class KVRTimeline;

class KVREXPORT_API KVRHtmlReport {
 public:
  // From a snapshot or timeline document; `title` heads the page.
  // KVREInvalidArgument when the text is not such a document; KVRERuntimeError
  // when the stream fails.
  static void write(std::ostream& out, std::string_view exportJson, const std::wstring& title);
  static void write(std::ostream& out, const KVRTimeline& timeline, const std::wstring& title);
  static void write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root,
                    const std::wstring& title);
};
