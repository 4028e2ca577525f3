#pragma once

// Helpers shared by the export writers: refusals, streaming a document
// around its records, reading a document back, and names made safe for text.

#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>

#include "KVRBasicEntity.h"
#include "KVRRecordWriter.h"

// KVREInvalidArgument unless `root` refers to an entity.
void KVRRequireExportRoot(const KVRSharedBase& root);

// KVRERuntimeError when the stream has failed.
void KVRRequireWritten(const std::ostream& out);

// The compact text of `head`, whose last value is an empty array, split around
// that array's contents: records go between the two parts, one per line.
std::pair<std::string, std::string> KVRSplitAtLastArray(const KVRJson& head);

// A snapshot or timeline document parsed into the timeline's form: "root"
// and "steps" (a snapshot becomes one step). KVREInvalidArgument when the
// text is not such a document.
nlohmann::json KVRParseExport(std::string_view text);

// `text` with what a terminal or a picture would not show as written made
// visible: a backslash doubled, control characters as \n, \t or \xNN.
std::string KVRPrintable(std::string_view text);
