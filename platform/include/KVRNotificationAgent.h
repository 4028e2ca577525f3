#pragma once

// Notification. Every entity is a KVRNotificationAgent: it records what
// changed about it in a pending mask of 64 event bits, and publishes the
// change when notifySubscribers() runs: first its notification hooks (while
// the pending bits are still set; the model's hooks carry the change down the
// trees), then every subscriber whose mask shares a bit with the pending mask,
// which receives the sender and the mask; then the pending mask is cleared.
//
// Hooks and subscribers may be added and removed while a notification runs:
// one removed during the run is not called any more, one added during the run
// is first called by the next notification.
//
// Bits set on an agent while its own notification runs (by its hooks, its
// subscribers, or anything they call) were not there when the run began:
// they stay pending after the run, for the next notification, which
// publishes them. And a notification is never nested in one of the same
// agent: notifySubscribers() called while the agent's notification is
// already running further up the call chain returns at once, leaving what
// it was asked to publish to the next run. Hooks that carry changes from
// agent to agent therefore end even when their paths form a cycle.

#include <bitset>
#include <cstdint>
#include <vector>

#include "KVRFunctor.h"
#include "KVRPlatformExport.h"
#include "KVRSharedObject.h"

// Base of notification objects handed to notification callbacks.
class KVRPLATFORM_API KVRNotificationBase : public KVRSharedObject {
 public:
  static const KVRClassInfo ClassInfo_;

  KVRNotificationBase() = default;
  KVRNotificationBase(const KVRNotificationBase& source, CopyMode mode);
  ~KVRNotificationBase() override;

  const KVRClassInfo& getClassInfo() const override;
};

class KVRPLATFORM_API KVRNotificationAgent : public KVRSharedObject {
 public:
  using EventMask = std::bitset<64>;

  static const KVRClassInfo ClassInfo_;
  // The empty hook: the kind argument of KVRMakeFunctorM for hooks.
  static const KVRFunctor0 NotificationHookNil;

  KVRNotificationAgent() = default;
  // A copy has no pending bits, hooks or subscribers.
  KVRNotificationAgent(const KVRNotificationAgent& source) : KVRSharedObject(source) {}
  ~KVRNotificationAgent() override;

  const KVRClassInfo& getClassInfo() const override;

  // Pending event bits, numbered 0 to 63; another number throws std::out_of_range.
  bool testEvent(int bit) const { return pending_.test(static_cast<std::size_t>(bit)); }
  const EventMask& getPendingEvents() const { return pending_; }
  void setEvent(int bit) {
    pending_.set(static_cast<std::size_t>(bit));
    if (notifying_) raised_.set(static_cast<std::size_t>(bit));
  }
  void resetEvent(int bit) {
    pending_.reset(static_cast<std::size_t>(bit));
    raised_.reset(static_cast<std::size_t>(bit));
  }
  void clearEvents() {
    pending_.reset();
    raised_.reset();
  }

  // Hooks run in the order they were added. Adding an empty hook throws
  // KVREInvalidArgument. Removing removes the first equal hook; a hook that
  // is not registered is ignored.
  void addNotificationHook(const KVRFunctor0& hook);
  void removeNotificationHook(const KVRFunctor0& hook);
  int getNotificationHookCount() const;

  // Subscribers run by decreasing priority, in order of subscription within
  // one priority. The same functor may subscribe more than once and is then
  // called once per subscription. An empty functor throws KVREInvalidArgument.
  // Removing removes the first equal subscription; one that is not
  // subscribed is ignored.
  void addSubscriber(const KVREventFunctor& subscriber, const EventMask& mask, int priority);
  void removeSubscriber(const KVREventFunctor& subscriber);
  int getSubscriberCount() const;

  // Runs the hooks, informs the subscribers, clears the pending mask but for
  // the bits set during the run (see above).
  void notifySubscribers();
  // Whether this agent's notification is running.
  bool isNotifying() const { return notifying_ != 0; }

  // Called when a transaction on the object ends; does nothing here.
  virtual void onNotificationTxn(TransactionTrigger trigger);

 private:
  struct Subscription {
    KVREventFunctor functor;
    std::uint64_t mask;
    int priority;
  };

  // Hooks: every entity has two or three, so they are kept inline.
  static constexpr int InlineHooks = 3;

  KVRFunctor0& hookAt(int i) { return i < InlineHooks ? inlineHooks_[i] : extraHooks_[i - InlineHooks]; }
  void compact();

  EventMask pending_;
  EventMask raised_;  // bits set while a notification runs: pending again after it
  int hookCount_ = 0;
  int notifying_ = 0;        // 1 while notifySubscribers() runs on this agent
  bool hasRemoved_ = false;  // entries emptied during a run, erased when it ends
  bool needsSort_ = false;   // subscriptions added during a run, ordered when it ends
  KVRFunctor0 inlineHooks_[InlineHooks];
  std::vector<KVRFunctor0> extraHooks_;
  std::vector<Subscription> subscribers_;
};
