#pragma once

// The files of the HTML report, built into the library: the page template
// with its @KVR_...@ markers, the viewer, and the pinned three.js modules.

#include <string_view>

extern const std::string_view KVRReportTemplate;
extern const std::string_view KVRViewerScript;
extern const std::string_view KVRThreeCore;
extern const std::string_view KVRThreeModule;
extern const std::string_view KVROrbitControls;
