#pragma once

// The export tools of the world model: JSON snapshots and timelines, a text
// tree, an SVG top view and a self-contained HTML report.

#include "KVRHtmlReport.h"
#include "KVRSnapshot.h"
#include "KVRSvgTopView.h"
#include "KVRTextTree.h"
#include "KVRTimeline.h"
