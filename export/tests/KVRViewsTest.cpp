// The views of an export: the text tree, the SVG top view and the HTML report, with names that must not break them.

#include <algorithm>
#include <regex>
#include <sstream>

#include "KVRExportTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// In world Cell: a floor; a fixture on it at (1, 0, 0.8) turned 90° about z, with a frame M at (0, 0, 0.1); a note.
TEST(TextTree, ShowsBothTreesWithBaseLocationsOneLinePerEntityAndNamesCannotBreakLines) {
  auto cell = makeWorld(L"Cell");
  auto floor = make<KVRBasicBody3D>(L"Floor"), fixture = make<KVRBasicBody3D>(L"Fixture");
  auto mount = make<KVRBasicFrame3D>(L"Mount");
  for (const auto& e : std::vector<KVRSharedHandle<KVRBasicEntity>>{floor, fixture, make(L"Note")})
    cell->addEntity(e);
  floor->attachBody(fixture, at(1, 0, 0.8, 90)); fixture->addFrame(mount);
  mount->setFrameLocation(at(0, 0, 0.1)); cell->flushLogicalState();
  EXPECT_EQ(KVRTextTree::toText(cell),
            "Logical tree of World \"/Cell\"\n"
            "Cell  World\n"
            "├── Floor  Body  0 0 0 | rpy 0 0 0\n"
            "├── Fixture  Body  1 0 0.8 | rpy 0 0 90\n"
            "│   └── Mount  Frame  1 0 0.9 | rpy 0 0 90\n"
            "└── Note  Entity\n"
            "Spatial tree\n"
            "Floor  Body  0 0 0 | rpy 0 0 0\n"
            "└── Fixture  Body  1 0 0.8 | rpy 0 0 90\n"
            "    └── Mount  Frame  1 0 0.9 | rpy 0 0 90\n");
  EXPECT_EQ(lines(KVRTextTree::toText(fixture))[4], "Fixture  Body  1 0 0.8 | rpy 0 0 90  (hangs on /Cell/Floor)");
  cell->orphanObject();
  // A chain of 10000 frames, built bottom up: names cannot break lines, and deep trees keep lines short.
  auto world = makeWorld(L"Deep");
  KVRSharedHandle<KVRBasicFrame3D> chain;
  for (int i = 9999; i >= 0; --i) {
    auto frame = make<KVRBasicFrame3D>(i ? L"F" + std::to_wstring(i) : std::wstring(L"two\rlines \x1b[31mred\\"));
    if (chain) frame->addLogicalChild(chain), frame->addSpatialChild(chain);
    chain = frame;
  }
  world->addEntity(chain);
  const auto text = lines(KVRTextTree::toText(world));
  ASSERT_EQ(text.size(), 2 + 10001 + 10000u);
  EXPECT_EQ(text[2].rfind("└── two\\x0dlines \\x1b[31mred\\\\  Frame  0 0 0", 0), 0u) << text[2];
  EXPECT_LT(std::ranges::max(text, {}, &std::string::size).size(), 400u);
  EXPECT_NE(text[10000].find("└── ┄ (depth 9999) F9998  Frame"), std::string::npos) << text[10000];
  world->orphanObject();
}

// The cell's gripper grabs the part and carries it over two steps.
class Views : public ExportCell {
 protected:
  void SetUp() override {
    ExportCell::SetUp(); timeline.record(w);
    gripper->grabBody(part, 1);
    for (const Xform& X_RG : {at(-1, 1, 2), at(-2, 2, 2)}) {
      place(gripper, X_RG); gripper->flushSpatialState();
      timeline.record(w);
    }
  }
  KVRTimeline timeline;
};

// The centre of the square a body is drawn as.
std::pair<double, double> drawnAt(const std::string& svg, const std::string& fullName) {
  std::smatch m;
  const std::regex rect("<title>" + fullName + " \\(\\w+\\)</title><rect x=\"([-0-9.e]+)\" y=\"([-0-9.e]+)\"");
  if (!std::regex_search(svg, m, rect)) return {NAN, NAN};
  return {std::stod(m[1]) + 5, std::stod(m[2]) + 5};
}

TEST_F(Views, TheTopViewDrawsBodiesFramesPathsAndTheTrajectoriesOfMovedBodies) {
  std::ostringstream out; KVRSvgTopView::write(out, timeline);
  const std::string svg = out.str();
  EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
  EXPECT_EQ(count(svg, "</title><rect x="), 4u);  // the bodies
  EXPECT_EQ(count(svg, "<circle"), 2u);           // the tag points
  EXPECT_EQ(count(svg, "<title>/W/Gripper/Tool</title><line"), 1u);
  // The path through A, B, A; the part and the gripper moved over three places, the fixture did not.
  std::smatch m;
  for (const std::string title : {"/W/Fixture/L", "trajectory of /W/Part"}) {
    const std::regex polyline("<polyline points=\"([^\"]*)\"><title>" + title + "</title>");
    ASSERT_TRUE(std::regex_search(svg, m, polyline));
    EXPECT_EQ(count(m[1], ","), 3u) << title;
  }
  EXPECT_EQ(count(svg, "trajectory of"), 2u);
  // x to the right, y up: the gripper ends left of and above the fixture.
  const auto [gx, gy] = drawnAt(svg, "/W/Gripper");
  const auto [fx, fy] = drawnAt(svg, "/W/Fixture");
  EXPECT_TRUE(gx < fx && gy < fy) << gx << " " << gy << " / " << fx << " " << fy;
  EXPECT_NE(svg.find("<g id=\"scale\""), std::string::npos);
  // A snapshot is read as one step; what is not an export is refused.
  EXPECT_EQ(count(KVRSvgTopView::toSvg(KVRSnapshot::toJson(w)), "</title><rect x="), 4u);
  expectThrowWithText<KVREInvalidArgument>(
      [] { KVRSvgTopView::toSvg(R"({"format": "something else", "steps": []})"); },
      L"The text is not a world export: it has no \"format\" of a snapshot or timeline and its list");
  std::ostringstream page;
  expectThrowWithText<KVREInvalidArgument>(
      [&] { KVRHtmlReport::write(page, "{\"format\": ", L"Broken"); },
      L"The text is not a world export: [json.exception.parse_error.101] parse error at line 1, column 12: syntax "
      L"error while parsing value - unexpected end of input; expected '[', '{', or a literal");
  EXPECT_TRUE(page.str().empty());
}

TEST_F(Views, MarkupInNamesIsEscapedInThePictureAndTheReport) {
  part->setEntityName(L"</script><b>&\"x\"</b>"); w->flushLogicalState();
  timeline.record(w);
  std::ostringstream svg, page;
  KVRSvgTopView::write(svg, timeline);
  EXPECT_NE(svg.str().find("&lt;/script&gt;&lt;b&gt;&amp;&quot;x&quot;&lt;/b&gt;"), std::string::npos);
  EXPECT_EQ(svg.str().find("<b>"), std::string::npos);
  KVRHtmlReport::write(page, timeline, L"Cell <1> & \"q\"");
  const std::string html = page.str();
  EXPECT_NE(html.find("<title>Cell &lt;1&gt; &amp; &quot;q&quot;</title>"), std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_EQ(html.find("@KVR_"), std::string::npos);  // every marker filled
  // The data element holds the timeline, with no '<' that could end it.
  const std::string open = "<script type=\"application/json\" id=\"kvr-data\">";
  const auto from = html.find(open) + open.size();
  const std::string data = html.substr(from, html.find("</script>", from) - from);
  EXPECT_EQ(data.find('<'), std::string::npos);
  EXPECT_EQ(parse(data), parse(timeline.toJson()));
  EXPECT_NE(html.find("REVISION = '187'"), std::string::npos);  // three.js is in the page
}

}  // namespace
