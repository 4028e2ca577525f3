#include "KVRNotificationAgent.h"

#include <algorithm>
#include <cstring>

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

namespace {

// The member functions of hooks bound to their own agent: a hook is kept as
// its index in this table plus one. Every entity class registers two or
// three such hooks, so the table stays short.
struct SelfHook {
  unsigned char member[16];
  KVRFunctor0::Invoker invoke;
};
constexpr int SelfHookCapacity = 255;
SelfHook selfHooks[SelfHookCapacity];
int selfHookCount = 0;

}  // namespace

KVRNotificationAgent::~KVRNotificationAgent() { delete rare_; }

const KVRClassInfo& KVRNotificationAgent::getClassInfo() const { return ClassInfo_; }

void KVRNotificationAgent::onNotificationTxn(TransactionTrigger) {}

KVRNotificationAgent::RareParts::RareParts() = default;
KVRNotificationAgent::RareParts::~RareParts() = default;

KVRNotificationAgent::RareParts* KVRNotificationAgent::makeRareParts() const { return new RareParts; }

KVRNotificationAgent::RareParts& KVRNotificationAgent::rareParts() {
  if (!rare_) rare_ = makeRareParts();
  return *rare_;
}

// --- Hooks -----------------------------------------------------------------

int KVRNotificationAgent::hookCountAll() const {
  return (state_ & HooksApart) ? static_cast<int>(rare_->hooks.size()) : hookCount_;
}

KVRFunctor0 KVRNotificationAgent::hookAt(int i) const {
  if (state_ & HooksApart) return rare_->hooks[static_cast<std::size_t>(i)];
  const int code = hookCodes_[i];
  KVRFunctor0 hook;
  if (code == 0) return hook;
  const SelfHook& kind = selfHooks[code - 1];
  hook.object_ = const_cast<KVRNotificationAgent*>(this);
  std::memcpy(hook.member_, kind.member, sizeof kind.member);
  hook.invoke_ = kind.invoke;
  return hook;
}

void KVRNotificationAgent::moveHooksApart() {
  if (state_ & HooksApart) return;
  std::vector<KVRFunctor0> hooks;
  hooks.reserve(static_cast<std::size_t>(hookCount_) + 1);
  for (int i = 0; i < hookCount_; ++i) hooks.push_back(hookAt(i));
  rareParts().hooks = std::move(hooks);
  hookCount_ = 0;
  std::fill(std::begin(hookCodes_), std::end(hookCodes_), 0);
  state_ |= HooksApart;
}

void KVRNotificationAgent::addNotificationHook(const KVRFunctor0& hook) {
  if (hook.isEmpty()) throw KVREInvalidArgument(L"An empty notification hook cannot be added");
  if (!(state_ & HooksApart) && hookCount_ < InlineHooks && hook.object_ == this) {
    int code = 0;
    for (int i = 0; i < selfHookCount && !code; ++i)
      if (selfHooks[i].invoke == hook.invoke_ && std::memcmp(selfHooks[i].member, hook.member_, 16) == 0)
        code = i + 1;
    if (!code && selfHookCount < SelfHookCapacity) {
      SelfHook& kind = selfHooks[selfHookCount++];
      std::memcpy(kind.member, hook.member_, sizeof kind.member);
      kind.invoke = hook.invoke_;
      code = selfHookCount;
    }
    if (code) {
      hookCodes_[hookCount_++] = static_cast<std::uint8_t>(code);
      return;
    }
  }
  moveHooksApart();
  rare_->hooks.push_back(hook);
}

void KVRNotificationAgent::removeNotificationHook(const KVRFunctor0& hook) {
  const int count = hookCountAll();
  for (int i = 0; i < count; ++i) {
    const KVRFunctor0 present = hookAt(i);
    if (present.isEmpty() || !(present == hook)) continue;
    if (notifying_) {
      // Emptied now, erased when the run ends, so that the run's indices hold.
      if (state_ & HooksApart)
        rare_->hooks[static_cast<std::size_t>(i)] = KVRFunctor0();
      else
        hookCodes_[i] = 0;
      state_ |= HasRemoved;
    } else if (state_ & HooksApart) {
      rare_->hooks.erase(rare_->hooks.begin() + i);
    } else {
      for (int j = i + 1; j < hookCount_; ++j) hookCodes_[j - 1] = hookCodes_[j];
      hookCodes_[--hookCount_] = 0;
    }
    return;
  }
}

int KVRNotificationAgent::getNotificationHookCount() const {
  int hooks = 0;
  const int count = hookCountAll();
  for (int i = 0; i < count; ++i) hooks += !hookAt(i).isEmpty();
  return hooks;
}

// --- Subscribers -----------------------------------------------------------

void KVRNotificationAgent::addSubscriber(const KVREventFunctor& subscriber, const EventMask& mask,
                                         int priority) {
  if (subscriber.isEmpty()) throw KVREInvalidArgument(L"An empty subscriber cannot be added");
  std::vector<Subscription>& subscribers = rareParts().subscribers;
  const Subscription entry{subscriber, mask.to_ullong(), priority};
  if (notifying_) {
    subscribers.push_back(entry);
    state_ |= NeedsSort;
  } else {
    auto at = std::find_if(subscribers.begin(), subscribers.end(),
                           [priority](const Subscription& s) { return s.priority < priority; });
    subscribers.insert(at, entry);
  }
  state_ |= HasSubscribers;
}

void KVRNotificationAgent::removeSubscriber(const KVREventFunctor& subscriber) {
  if (!rare_) return;
  std::vector<Subscription>& subscribers = rare_->subscribers;
  auto it = std::find_if(subscribers.begin(), subscribers.end(), [&](const Subscription& s) {
    return !s.functor.isEmpty() && s.functor == subscriber;
  });
  if (it == subscribers.end()) return;
  if (notifying_) {
    it->functor = KVREventFunctor();
    state_ |= HasRemoved;
  } else {
    subscribers.erase(it);
    if (subscribers.empty()) state_ &= ~HasSubscribers;
  }
}

int KVRNotificationAgent::getSubscriberCount() const {
  if (!rare_) return 0;
  return static_cast<int>(std::count_if(rare_->subscribers.begin(), rare_->subscribers.end(),
                                        [](const Subscription& s) { return !s.functor.isEmpty(); }));
}

// --- Notifying -------------------------------------------------------------

bool KVRNotificationAgent::beginNotification() {
  // Already running further up: running again here could recurse without
  // end. What was set meanwhile stays pending for the next notification.
  if (notifying_) return false;
  setHooksBegun(0xFF);  // runHooks counts them from 0 when it runs them
  return true;
}

void KVRNotificationAgent::runHooks() {
  const int hooks = hookCountAll();  // hooks added during the run wait for the next one
  for (int i = 0; i < hooks; ++i) {
    setHooksBegun(i + 1);
    const KVRFunctor0 call = hookAt(i);  // a copy: the slot may change while the hook runs
    if (!call.isEmpty()) call();
  }
}

void KVRNotificationAgent::publishToSubscribers() {
  if (!(state_ & HasSubscribers)) return;
  const KVRSharedConstPointer<KVRNotificationAgent> sender(this);
  const EventMask mask = pending_;
  const std::uint64_t bits = mask.to_ullong();
  // By index and with the count fixed now: subscribers may be added and
  // removed meanwhile (removed ones are emptied in place while the run lasts).
  const std::size_t count = rare_->subscribers.size();
  for (std::size_t i = 0; i < count; ++i) {
    const Subscription& s = rare_->subscribers[i];
    if (s.functor.isEmpty() || (s.mask & bits) == 0) continue;
    const KVREventFunctor call = s.functor;
    call(sender, mask);
  }
}

void KVRNotificationAgent::endNotification() {
  notifying_ = 0;
  compact();
  pending_ = raised_;
  raised_.reset();
}

void KVRNotificationAgent::abandonNotification() {
  // The pending bits stay, so that what was not published is not lost.
  notifying_ = 0;
  raised_.reset();
  compact();
}

void KVRNotificationAgent::notifySubscribers() {
  if (!beginNotification()) return;
  // A hook or subscriber may drop the last handle to this agent: keep it alive
  // until the run ends (an agent no handle holds is left alone).
  KVRSharedBase keepAlive;
  if (getReferenceCount() > 0) keepAlive = KVRSharedBase(this);
  try {
    setHooksBegun(0);
    runHooks();
    setHooksBegun(0xFF);
    publishToSubscribers();
  } catch (...) {
    abandonNotification();
    throw;
  }
  endNotification();
}

void KVRNotificationAgent::compact() {
  if (notifying_ || !(state_ & (HasRemoved | NeedsSort))) return;
  if (state_ & HasRemoved) {
    state_ &= ~HasRemoved;
    if (state_ & HooksApart) {
      std::erase_if(rare_->hooks, [](const KVRFunctor0& h) { return h.isEmpty(); });
    } else {
      int kept = 0;
      for (int i = 0; i < hookCount_; ++i)
        if (hookCodes_[i]) hookCodes_[kept++] = hookCodes_[i];
      for (int i = kept; i < InlineHooks; ++i) hookCodes_[i] = 0;
      hookCount_ = static_cast<std::uint8_t>(kept);
    }
    if (rare_) {
      std::erase_if(rare_->subscribers, [](const Subscription& s) { return s.functor.isEmpty(); });
      if (rare_->subscribers.empty()) state_ &= ~HasSubscribers;
    }
  }
  if (state_ & NeedsSort) {
    state_ &= ~NeedsSort;
    std::stable_sort(rare_->subscribers.begin(), rare_->subscribers.end(),
                     [](const Subscription& a, const Subscription& b) { return a.priority > b.priority; });
  }
}
