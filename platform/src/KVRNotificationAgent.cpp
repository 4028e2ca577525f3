#include "KVRNotificationAgent.h"

#include <algorithm>

#include "KVRException.h"

constinit const KVRClassInfo KVRNotificationBase::ClassInfo_ =
    KVRClassInfo::concrete<KVRNotificationBase>("KVRNotificationBase", KVRSharedObject::ClassInfo_);

KVRNotificationBase::KVRNotificationBase(const KVRNotificationBase& source, CopyMode)
    : KVRSharedObject(source) {}
KVRNotificationBase::~KVRNotificationBase() = default;
const KVRClassInfo& KVRNotificationBase::getClassInfo() const { return ClassInfo_; }

constinit const KVRClassInfo KVRNotificationAgent::ClassInfo_ =
    KVRClassInfo::abstract<KVRNotificationAgent>("KVRNotificationAgent", KVRSharedObject::ClassInfo_);
const KVRFunctor0 KVRNotificationAgent::NotificationHookNil;

KVRNotificationAgent::~KVRNotificationAgent() = default;

const KVRClassInfo& KVRNotificationAgent::getClassInfo() const { return ClassInfo_; }

void KVRNotificationAgent::onNotificationTxn(TransactionTrigger) {}

void KVRNotificationAgent::addNotificationHook(const KVRFunctor0& hook) {
  if (hook.isEmpty()) throw KVREInvalidArgument(L"An empty notification hook cannot be added");
  if (hookCount_ < InlineHooks)
    inlineHooks_[hookCount_] = hook;
  else
    extraHooks_.push_back(hook);
  ++hookCount_;
}

void KVRNotificationAgent::removeNotificationHook(const KVRFunctor0& hook) {
  for (int i = 0; i < hookCount_; ++i) {
    if (hookAt(i).isEmpty() || !(hookAt(i) == hook)) continue;
    if (notifying_) {
      hookAt(i) = KVRFunctor0();
      hasRemoved_ = true;
      return;
    }
    for (int j = i + 1; j < hookCount_; ++j) hookAt(j - 1) = hookAt(j);
    --hookCount_;
    if (hookCount_ >= InlineHooks)
      extraHooks_.pop_back();
    else
      inlineHooks_[hookCount_] = KVRFunctor0();
    return;
  }
}

int KVRNotificationAgent::getNotificationHookCount() const {
  int count = 0;
  for (int i = 0; i < hookCount_; ++i)
    count += !(i < InlineHooks ? inlineHooks_[i] : extraHooks_[i - InlineHooks]).isEmpty();
  return count;
}

void KVRNotificationAgent::addSubscriber(const KVREventFunctor& subscriber, const EventMask& mask,
                                         int priority) {
  if (subscriber.isEmpty()) throw KVREInvalidArgument(L"An empty subscriber cannot be added");
  Subscription entry{subscriber, mask.to_ullong(), priority};
  if (notifying_) {
    subscribers_.push_back(entry);
    needsSort_ = true;
    return;
  }
  auto at = std::find_if(subscribers_.begin(), subscribers_.end(),
                         [priority](const Subscription& s) { return s.priority < priority; });
  subscribers_.insert(at, entry);
}

void KVRNotificationAgent::removeSubscriber(const KVREventFunctor& subscriber) {
  auto it = std::find_if(subscribers_.begin(), subscribers_.end(), [&](const Subscription& s) {
    return !s.functor.isEmpty() && s.functor == subscriber;
  });
  if (it == subscribers_.end()) return;
  if (notifying_) {
    it->functor = KVREventFunctor();
    hasRemoved_ = true;
  } else {
    subscribers_.erase(it);
  }
}

int KVRNotificationAgent::getSubscriberCount() const {
  return static_cast<int>(std::count_if(subscribers_.begin(), subscribers_.end(),
                                        [](const Subscription& s) { return !s.functor.isEmpty(); }));
}

void KVRNotificationAgent::notifySubscribers() {
  // Already running further up: running again here could recurse without
  // end. What was set meanwhile stays pending for the next notification.
  if (notifying_) return;
  // A hook or subscriber may drop the last handle to this agent: keep it alive
  // until the run ends (an agent no handle holds is left alone).
  KVRSharedBase keepAlive;
  if (getReferenceCount() > 0) keepAlive = KVRSharedBase(this);

  ++notifying_;
  try {
    const int hooks = hookCount_;
    for (int i = 0; i < hooks; ++i) {
      const KVRFunctor0& hook = hookAt(i);
      if (hook.isEmpty()) continue;
      const KVRFunctor0 call = hook;  // the slot may change while the hook runs
      call();
    }
    if (!subscribers_.empty()) {
      const KVRSharedConstPointer<KVRNotificationAgent> sender(this);
      const EventMask mask = pending_;
      const std::uint64_t bits = mask.to_ullong();
      const std::size_t count = subscribers_.size();
      for (std::size_t i = 0; i < count; ++i) {
        const Subscription& s = subscribers_[i];
        if (s.functor.isEmpty() || (s.mask & bits) == 0) continue;
        const KVREventFunctor call = s.functor;
        call(sender, mask);
      }
    }
  } catch (...) {
    // The pending bits stay, so that what was not published is not lost.
    --notifying_;
    raised_.reset();
    compact();
    throw;
  }
  --notifying_;
  if (hasRemoved_ || needsSort_) compact();
  pending_ = raised_;
  raised_.reset();
}

void KVRNotificationAgent::compact() {
  if (notifying_) return;
  if (hasRemoved_) {
    hasRemoved_ = false;
    int kept = 0;
    for (int i = 0; i < hookCount_; ++i)
      if (!hookAt(i).isEmpty()) hookAt(kept++) = hookAt(i);
    for (int i = kept; i < hookCount_ && i < InlineHooks; ++i) inlineHooks_[i] = KVRFunctor0();
    extraHooks_.resize(static_cast<std::size_t>(std::max(0, kept - InlineHooks)));
    hookCount_ = kept;
    std::erase_if(subscribers_, [](const Subscription& s) { return s.functor.isEmpty(); });
  }
  if (needsSort_) {
    needsSort_ = false;
    std::stable_sort(subscribers_.begin(), subscribers_.end(),
                     [](const Subscription& a, const Subscription& b) { return a.priority > b.priority; });
  }
}
