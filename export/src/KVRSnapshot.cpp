#include "KVRSnapshot.h"

#include <istream>
#include <iterator>
#include <ostream>

#include "KVRException.h"
#include "KVRExportScene.h"
#include "KVRExportSupport.h"
#include "KVRRecordWriter.h"
#include "KVRSnapshotReader.h"

namespace {

// Streams the snapshot through the writer's text: whenever it holds more
// than `chunk` bytes, `flush` takes them. A large world never lives in memory
// as one piece of text unless the caller wants it so.
template <class Flush>
void writeSnapshot(const KVRBasicEntity& root, const KVRSimTime& time, std::size_t chunk, Flush flush) {
  const KVRExportScene scene(root);
  KVRRecordWriter writer(scene, time);
  std::string& text = writer.text();
  // Room for the whole text at once when it is kept whole: growing it by
  // doubling would copy it over and over. Untouched room costs no memory.
  text.reserve(chunk != std::string::npos ? 2 * chunk : 512 * scene.size());
  const auto [head, tail] = KVRSplitAtLastArray({{"format", KVRSnapshot::Format},
                                                 {"version", KVRSnapshot::Version},
                                                 {"root", 0},
                                                 {"time", time.toSeconds()},
                                                 {"entities", KVRJson::array()}});
  text += head;
  for (std::size_t i = 0; i < scene.size(); ++i) {
    if (i > 0) text += ",\n";
    writer.append(i);
    if (text.size() > chunk) flush(text);
  }
  text += tail;
  text += '\n';
  flush(text);
}

}  // namespace

void KVRSnapshot::write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root) {
  KVRRequireExportRoot(root);
  write(out, root, root->getSimulationTime());
}

void KVRSnapshot::write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root,
                        const KVRSimTime& time) {
  KVRRequireExportRoot(root);
  constexpr std::size_t Chunk = 1 << 16;
  writeSnapshot(*root, time, Chunk, [&](std::string& piece) {
    out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    piece.clear();
  });
  KVRRequireWritten(out);
}

std::string KVRSnapshot::toJson(const KVRSharedHandle<KVRBasicEntity>& root) {
  KVRRequireExportRoot(root);
  return toJson(root, root->getSimulationTime());
}

std::string KVRSnapshot::toJson(const KVRSharedHandle<KVRBasicEntity>& root, const KVRSimTime& time) {
  KVRRequireExportRoot(root);
  std::string text;
  // Called once, with the whole document.
  writeSnapshot(*root, time, std::string::npos, [&](std::string& whole) { text.swap(whole); });
  return text;
}

KVRSharedHandle<KVRBasicEntity> KVRSnapshot::read(std::string_view text) { return read(text, ReadOptions()); }

KVRSharedHandle<KVRBasicEntity> KVRSnapshot::read(std::string_view text, const ReadOptions& options) {
  const nlohmann::json document = KVRParseCellText(text, options.maxBytes);
  return KVRReadSnapshot(document, options);
}

KVRSharedHandle<KVRBasicEntity> KVRSnapshot::read(std::istream& in) { return read(in, ReadOptions()); }

KVRSharedHandle<KVRBasicEntity> KVRSnapshot::read(std::istream& in, const ReadOptions& options) {
  std::string text;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    // Read no further than the limit: what lies beyond is refused anyway.
    if (text.size() > options.maxBytes) break;
  }
  if (in.bad()) throw KVRERuntimeError(L"The cell could not be read from its stream");
  return read(text, options);
}
