#include "KVRChangeLog.h"

#include <algorithm>
#include <array>

#include "KVRBasicEntity3D.h"
#include "KVRException.h"

namespace {

// The logs that exist, by slot; an entity names its log by slot in one
// byte. Slot 0 stands for no log.
std::array<KVRChangeLog*, 256> slots{};

}  // namespace

KVRChangeLog::KVRChangeLog() {
  for (std::size_t i = 1; i < slots.size(); ++i)
    if (!slots[i]) {
      slots[i] = this;
      slot_ = static_cast<std::uint8_t>(i);
      return;
    }
  throw KVRERuntimeError(L"No change log can be made: 255 exist already");
}

KVRChangeLog::~KVRChangeLog() {
  for (KVRBasicEntity3D* entity : enrolled_) {
    entity->changeLog_ = 0;
    entity->listedChanges_ = 0;
  }
  slots[slot_] = nullptr;
}

KVRChangeLog* KVRChangeLog::inSlot(std::uint8_t slot) { return slots[slot]; }

void KVRChangeLog::take(std::vector<Entry>& out) {
  out.clear();
  out.reserve(listed_.size());
  for (KVRBasicEntity3D* entity : listed_) {
    out.push_back({entity, entity->listedChanges_});
    entity->listedChanges_ = 0;
  }
  listed_.clear();
}

void KVRChangeLog::enrol(KVRBasicEntity3D& entity) { enrolled_.insert(&entity); }

void KVRChangeLog::leave(KVRBasicEntity3D& entity) {
  enrolled_.erase(&entity);
  if (entity.listedChanges_) listed_.erase(std::find(listed_.begin(), listed_.end(), &entity));
  entity.changeLog_ = 0;
  entity.listedChanges_ = 0;
}

// --- The entity's side -------------------------------------------------------

void KVRBasicEntity3D::setChangeLog(KVRChangeLog* log) {
  if (log && log->slot_ == changeLog_) return;
  if (KVRChangeLog* current = getChangeLog()) current->leave(*this);
  if (!log) return;
  log->enrol(*this);
  changeLog_ = log->slot_;
}

KVRChangeLog* KVRBasicEntity3D::getChangeLog() const {
  return changeLog_ ? KVRChangeLog::inSlot(changeLog_) : nullptr;
}

void KVRBasicEntity3D::listChange(std::uint8_t change) {
  if (!listedChanges_) KVRChangeLog::inSlot(changeLog_)->listed_.push_back(this);
  listedChanges_ |= change;
}

void KVRBasicEntity3D::onHistoryCleared() { noteChange(KVRChangeLog::HistoryCleared); }
