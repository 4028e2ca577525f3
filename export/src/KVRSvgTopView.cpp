#include "KVRSvgTopView.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <ostream>
#include <sstream>
#include <vector>

#include "KVRExportSupport.h"
#include "KVRSnapshot.h"
#include "KVRTimeline.h"

namespace {

using json = nlohmann::json;

struct Point {
  double x, y;
};

// A location's x-y position and the x-y directions of its x and y axes;
// false when it has none or holds a non-finite number.
struct Placement {
  Point p{0, 0}, xAxis{1, 0}, yAxis{0, 1};
};
bool placementOf(const json& location, Placement& out) {
  if (!location.is_object() || location.contains("nonFinite")) return false;
  const json& p = location["position"];
  const json& q = location["quaternion"];
  if (!p.is_array() || p.size() != 3 || !q.is_array() || q.size() != 4) return false;
  for (const json* values : {&p, &q})
    for (const json& v : *values)
      if (!v.is_number()) return false;
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  out.p = {p[0], p[1]};
  out.xAxis = {1 - 2 * (y * y + z * z), 2 * (x * y + w * z)};
  out.yAxis = {2 * (x * y - w * z), 1 - 2 * (x * x + z * z)};
  return true;
}

// Text for XML content and attribute values.
std::string xml(std::string_view text) {
  std::string out;
  for (const char c : KVRPrintable(text)) {
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
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The state of every entity at the last step, and where each 3-D entity
// stood at every step it moved.
struct Replay {
  std::map<int, json> entities;
  std::map<int, std::vector<Point>> tracks;
};

Replay replay(const json& document) {
  Replay r;
  for (const json& step : document["steps"]) {
    for (const json& id : step.value("removed", json::array()))
      if (id.is_number_integer()) r.entities.erase(id.get<int>());
    for (const json& record : step["entities"]) {
      if (!record.is_object() || !record.contains("id") || !record["id"].is_number_integer()) continue;
      const int id = record["id"];
      Placement at;
      if (placementOf(record.value("base", json()), at)) {
        auto& track = r.tracks[id];
        if (track.empty() || track.back().x != at.p.x || track.back().y != at.p.y) track.push_back(at.p);
      }
      r.entities[id] = record;
    }
  }
  return r;
}

// The length of the scale bar: 1, 2 or 5 times a power of ten, near a fifth of `extent`.
double niceLength(double extent) {
  const double target = extent / 5;
  const double power = std::pow(10.0, std::floor(std::log10(target)));
  for (const double m : {1.0, 2.0, 5.0})
    if (m * power >= target * 0.7) return m * power;
  return 10 * power;
}

std::string lengthText(double metres) {
  std::ostringstream text;
  if (metres >= 1) {
    text << metres << " m";
  } else {
    text << metres * 1000 << " mm";
  }
  return text.str();
}

void writeSvg(std::ostream& out, const json& document) {
  const Replay r = replay(document);
  std::map<int, Placement> placed;
  for (const auto& [id, record] : r.entities) {
    Placement at;
    if (placementOf(record.value("base", json()), at)) placed[id] = at;
  }
  const auto typeOf = [&](int id) {
    const auto e = r.entities.find(id);
    return e == r.entities.end() ? std::string() : e->second.value("type", std::string());
  };
  // Bodies move on tracks of two or more places; other entities only follow them.
  std::vector<int> moved;
  for (const auto& [id, track] : r.tracks)
    if (track.size() > 1 && r.entities.count(id) && r.entities.at(id).contains("body")) moved.push_back(id);

  double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
  const auto widen = [&](Point p) {
    minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
  };
  for (const auto& [id, at] : placed) widen(at.p);
  for (const int id : moved)
    for (const Point& p : r.tracks.at(id)) widen(p);
  if (minX > maxX) minX = minY = -1, maxX = maxY = 1;
  const double extent = std::max({maxX - minX, maxY - minY, 1e-3});
  const double cx = (minX + maxX) / 2, cy = (minY + maxY) / 2;
  constexpr double size = 800, margin = 60;
  const double scale = (size - 2 * margin) / extent;
  const auto sx = [&](double x) { return size / 2 + (x - cx) * scale; };
  const auto sy = [&](double y) { return size / 2 - (y - cy) * scale; };  // y up
  const auto pt = [&](Point p) {
    std::ostringstream s;
    s << sx(p.x) << ',' << sy(p.y);
    return s.str();
  };
  const auto name = [&](int id) { return xml(r.entities.at(id).value("fullName", std::string())); };

  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << size << "\" height=\"" << size + 40
      << "\" viewBox=\"0 0 " << size << ' ' << size + 40
      << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
      << "<title>Top view (x right, y up)</title>\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"#fbfbf8\"/>\n";

  out << "<g id=\"paths\" fill=\"none\" stroke=\"#8a5cb8\" stroke-width=\"1.5\">\n";
  for (const auto& [id, record] : r.entities) {
    if (!record.contains("path")) continue;
    std::string points;
    for (const json& ref : record["path"].value("points", json::array())) {
      if (!ref.is_number_integer() || !placed.count(ref.get<int>())) continue;
      points += pt(placed.at(ref.get<int>()).p) + ' ';
    }
    out << "<polyline points=\"" << points << "\"><title>" << name(id) << "</title></polyline>\n";
  }
  out << "</g>\n<g id=\"trajectories\" fill=\"none\" stroke=\"#e07b00\" stroke-width=\"1.5\" "
         "stroke-dasharray=\"5 3\">\n";
  for (const int id : moved) {
    std::string points;
    for (const Point& p : r.tracks.at(id)) points += pt(p) + ' ';
    out << "<polyline points=\"" << points << "\"><title>trajectory of " << name(id)
        << "</title></polyline>\n";
  }
  out << "</g>\n<g id=\"tagpoints\" fill=\"#8a5cb8\">\n";
  for (const auto& [id, at] : placed)
    if (r.entities.at(id).contains("tagPoint"))
      out << "<circle cx=\"" << sx(at.p.x) << "\" cy=\"" << sy(at.p.y) << "\" r=\"2.5\"><title>" << name(id)
          << "</title></circle>\n";
  out << "</g>\n<g id=\"bodies\">\n";
  std::size_t bodies = 0;
  std::map<std::pair<long, long>, int> labels;
  for (const auto& [id, at] : placed) bodies += r.entities.at(id).contains("body");
  for (const auto& [id, at] : placed) {
    if (!r.entities.at(id).contains("body")) continue;
    const bool carried = r.entities.at(id)["body"].value("transientState", 0) != 0;
    out << "<g><title>" << name(id) << " (" << xml(typeOf(id)) << ")</title><rect x=\"" << sx(at.p.x) - 5
        << "\" y=\"" << sy(at.p.y) - 5 << "\" width=\"10\" height=\"10\" fill=\""
        << (carried ? "#e07b00" : "#4f7cac") << "\" stroke=\"#20344a\"/>";
    // Bodies standing on one spot get their names one below the other.
    const int line = labels[{std::lround(sx(at.p.x) / 4), std::lround(sy(at.p.y) / 4)}]++;
    if (bodies <= 200)
      out << "<text x=\"" << sx(at.p.x) + 8 << "\" y=\"" << sy(at.p.y) - 8 + 12 * line << "\">"
          << xml(r.entities.at(id).value("name", std::string())) << "</text>";
    out << "</g>\n";
  }
  out << "</g>\n<g id=\"frames\" stroke-width=\"1.2\">\n";
  constexpr double axis = 12;
  for (const auto& [id, at] : placed) {
    if (typeOf(id) != "Frame") continue;
    const double x = sx(at.p.x), y = sy(at.p.y);
    out << "<g><title>" << name(id) << "</title><line x1=\"" << x << "\" y1=\"" << y << "\" x2=\""
        << x + axis * at.xAxis.x << "\" y2=\"" << y - axis * at.xAxis.y
        << "\" stroke=\"#d03030\"/><line x1=\"" << x << "\" y1=\"" << y << "\" x2=\"" << x + axis * at.yAxis.x
        << "\" y2=\"" << y - axis * at.yAxis.y << "\" stroke=\"#2f9e44\"/></g>\n";
  }
  const double bar = niceLength(extent);
  out << "</g>\n<g id=\"scale\" stroke=\"#222\" stroke-width=\"2\">\n"
      << "<line x1=\"" << margin << "\" y1=\"" << size + 15 << "\" x2=\"" << margin + bar * scale
      << "\" y2=\"" << size + 15 << "\"/>\n<text x=\"" << margin + bar * scale + 8 << "\" y=\"" << size + 19
      << "\" stroke=\"none\">" << lengthText(bar) << "</text>\n</g>\n"
      << "<g id=\"legend\" transform=\"translate(" << size - 500 << ' ' << size + 19 << ")\" fill=\"#444\">\n"
      << "<rect x=\"0\" y=\"-9\" width=\"10\" height=\"10\" fill=\"#4f7cac\"/><text x=\"14\">body</text>\n"
      << "<rect x=\"55\" y=\"-9\" width=\"10\" height=\"10\" fill=\"#e07b00\"/><text "
         "x=\"69\">carried</text>\n"
      << "<line x1=\"125\" y1=\"-4\" x2=\"145\" y2=\"-4\" stroke=\"#8a5cb8\" stroke-width=\"1.5\"/>"
         "<text x=\"149\">path</text>\n"
      << "<line x1=\"190\" y1=\"-4\" x2=\"210\" y2=\"-4\" stroke=\"#e07b00\" stroke-width=\"1.5\" "
         "stroke-dasharray=\"5 3\"/><text x=\"214\">trajectory</text>\n"
      << "<line x1=\"285\" y1=\"-4\" x2=\"300\" y2=\"-4\" stroke=\"#d03030\"/><line x1=\"285\" y1=\"-4\" "
         "x2=\"285\" y2=\"-15\" stroke=\"#2f9e44\"/><text x=\"304\">frame x, y</text>\n"
      << "<text x=\"375\">top view: x →, y ↑</text>\n</g>\n</svg>\n";
}

}  // namespace

void KVRSvgTopView::write(std::ostream& out, std::string_view exportJson) {
  writeSvg(out, KVRParseExport(exportJson));
  KVRRequireWritten(out);
}

void KVRSvgTopView::write(std::ostream& out, const KVRTimeline& timeline) { write(out, timeline.toJson()); }

void KVRSvgTopView::write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root) {
  write(out, KVRSnapshot::toJson(root));
}

std::string KVRSvgTopView::toSvg(std::string_view exportJson) {
  std::ostringstream out;
  write(out, exportJson);
  return out.str();
}
