#include "KVRHtmlReport.h"

#include <ostream>

#include "KVRException.h"
#include "KVRExportSupport.h"
#include "KVRMessage.h"
#include "KVRSnapshot.h"
#include "KVRTimeline.h"
#include "KVRViewerAssets.h"

namespace {

// Text for HTML content.
std::string html(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// JSON inside a script element: '<', '>' and '&' can only stand in strings
// there, where their escapes mean the same, and without them no name can
// close the element or open markup.
void writeScriptJson(std::ostream& out, std::string_view json) {
  std::size_t from = 0;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char* escape = json[i] == '<'   ? "\\u003c"
                         : json[i] == '>' ? "\\u003e"
                         : json[i] == '&' ? "\\u0026"
                                          : nullptr;
    if (!escape) continue;
    out.write(json.data() + from, static_cast<std::streamsize>(i - from));
    out << escape;
    from = i + 1;
  }
  out.write(json.data() + from, static_cast<std::streamsize>(json.size() - from));
}

void writeReport(std::ostream& out, std::string_view json, const std::wstring& title) {
  const std::string heading = html(KVRPrintable(KVRToUtf8(title)));
  const std::string_view page = KVRReportTemplate;
  std::size_t from = 0;
  // Each @KVR_NAME@ marker of the template is replaced by what it names.
  for (std::size_t at = page.find("@KVR_"); at != std::string_view::npos; at = page.find("@KVR_", from)) {
    const std::size_t end = page.find('@', at + 1);
    const std::string_view marker = page.substr(at, end + 1 - at);
    out.write(page.data() + from, static_cast<std::streamsize>(at - from));
    if (marker == "@KVR_TITLE@") {
      out << heading;
    } else if (marker == "@KVR_DATA@") {
      writeScriptJson(out, json);
    } else if (marker == "@KVR_THREE_CORE@") {
      out << KVRThreeCore;
    } else if (marker == "@KVR_THREE@") {
      out << KVRThreeModule;
    } else if (marker == "@KVR_ORBIT_CONTROLS@") {
      out << KVROrbitControls;
    } else if (marker == "@KVR_VIEWER@") {
      out << KVRViewerScript;
    } else {
      out << marker;
    }
    from = end + 1;
  }
  out.write(page.data() + from, static_cast<std::streamsize>(page.size() - from));
  KVRRequireWritten(out);
}

}  // namespace

void KVRHtmlReport::write(std::ostream& out, std::string_view exportJson, const std::wstring& title) {
  KVRParseExport(exportJson);  // refuses what the viewer could not read
  writeReport(out, exportJson, title);
}

void KVRHtmlReport::write(std::ostream& out, const KVRTimeline& timeline, const std::wstring& title) {
  writeReport(out, timeline.toJson(), title);
}

void KVRHtmlReport::write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root,
                          const std::wstring& title) {
  writeReport(out, KVRSnapshot::toJson(root), title);
}
