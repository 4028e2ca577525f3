#include "KVRExportSupport.h"

#include <cstdio>
#include <ostream>

#include "KVRException.h"
#include "KVRSnapshot.h"
#include "KVRTimeline.h"

namespace {

// The parser's message in a wide string; it is ASCII but for the bytes of
// the input it quotes, which show as '?'.
std::wstring widen(std::string_view text) {
  std::wstring wide;
  for (const char c : text) wide += static_cast<unsigned char>(c) < 0x80 ? static_cast<wchar_t>(c) : L'?';
  return wide;
}

}  // namespace

void KVRRequireExportRoot(const KVRSharedBase& root) {
  if (root.isNull()) throw KVREInvalidArgument(L"An entity to export is required");
}

void KVRRequireWritten(const std::ostream& out) {
  if (!out) throw KVRERuntimeError(L"The export could not be written to its stream");
}

std::pair<std::string, std::string> KVRSplitAtLastArray(const KVRJson& head) {
  const std::string text = head.dump();
  const std::size_t brackets = text.rfind("[]");
  return {text.substr(0, brackets + 1) + '\n', '\n' + text.substr(brackets + 1)};
}

nlohmann::json KVRParseExport(std::string_view text) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    throw KVREInvalidArgument(L"The text is not a world export: %1") << widen(e.what());
  }
  const auto format = document.is_object() ? document.find("format") : document.end();
  const bool snapshot = format != document.end() && *format == KVRSnapshot::Format;
  const bool timeline = format != document.end() && *format == KVRTimeline::Format;
  const char* list = snapshot ? "entities" : "steps";
  if ((!snapshot && !timeline) || !document.contains(list) || !document[list].is_array())
    throw KVREInvalidArgument(L"The text is not a world export: %1")
        << std::wstring(L"it has no \"format\" of a snapshot or timeline and its list");
  if (timeline) {
    for (const auto& step : document["steps"])
      if (!step.is_object() || !step.contains("entities") || !step["entities"].is_array())
        throw KVREInvalidArgument(L"The text is not a world export: %1")
            << std::wstring(L"a step has no list of entities");
    return document;
  }
  nlohmann::json step = {
      {"step", 0}, {"time", document.value("time", 0.0)}, {"removed", nlohmann::json::array()}};
  step["entities"] = std::move(document["entities"]);
  return {{"format", KVRTimeline::Format}, {"root", document.value("root", 0)}, {"steps", {std::move(step)}}};
}

std::string KVRPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}
