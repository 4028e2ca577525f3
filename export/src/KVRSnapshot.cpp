#include "KVRSnapshot.h"

#include <ostream>

#include "KVRExportScene.h"
#include "KVRExportSupport.h"
#include "KVRRecordWriter.h"

void KVRSnapshot::write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root) {
  KVRRequireExportRoot(root);
  write(out, root, root->getSimulationTime());
}

void KVRSnapshot::write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root, const KVRSimTime& time) {
  const std::string text = toJson(root, time);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  KVRRequireWritten(out);
}

std::string KVRSnapshot::toJson(const KVRSharedHandle<KVRBasicEntity>& root) {
  KVRRequireExportRoot(root);
  return toJson(root, root->getSimulationTime());
}

std::string KVRSnapshot::toJson(const KVRSharedHandle<KVRBasicEntity>& root, const KVRSimTime& time) {
  KVRRequireExportRoot(root);
  const KVRExportScene scene(*root);
  KVRRecordWriter writer(scene);
  const auto [head, tail] = KVRSplitAtLastArray(
      {{"format", Format}, {"version", Version}, {"root", 0}, {"time", time.toSeconds()}, {"entities", KVRJson::array()}});
  std::string text = head;
  text.reserve(head.size() + 400 * scene.size());
  for (std::size_t i = 0; i < scene.size(); ++i) {
    if (i > 0) text += ",\n";
    writer.append(i, text);
  }
  text += tail;
  text += '\n';
  return text;
}
