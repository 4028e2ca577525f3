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
//
// An agent is small: hooks bound to the agent itself (as every entity's are)
// are kept as one byte each, and what only some agents need (other hooks,
// subscribers, extensions, the rarely used data of a derived class) is
// allocated when first used.

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
  // While a notification runs: how many of its hooks have begun (the hook at
  // index i is running or done when this exceeds i). A run whose derived
  // class does the work of its hooks itself counts them all as begun. 0 when
  // no notification runs.
  int getHooksBegun() const { return notifying_ ? notifying_ - 1 : 0; }

  // Whether something beyond the agent's own hooks follows its notifications:
  // a subscriber, or a hook bound to another object.
  bool hasObservers() const { return (state_ & (HasSubscribers | HooksApart)) != 0; }

  // Called when a transaction on the object ends; does nothing here.
  virtual void onNotificationTxn(TransactionTrigger trigger);

 protected:
  // The hooks as one number: agents whose hooks are the same member functions,
  // each bound to the agent itself, in the same order, have the same nonzero
  // signature; 0 when a hook is bound to something else or there are more than three.
  std::uint32_t getHookSignature() const {
    if (state_ & HooksApart) return 0;
    return hookCount_ | std::uint32_t(hookCodes_[0]) << 8 | std::uint32_t(hookCodes_[1]) << 16 |
           std::uint32_t(hookCodes_[2]) << 24;
  }

  // The steps of notifySubscribers(), for a derived class that does the work
  // of its own hooks itself. beginNotification() marks the run as started
  // (false, doing nothing, when one is running already); publishToSubscribers()
  // informs the subscribers of the pending mask; endNotification() ends the
  // run, leaving pending the bits set during it; abandonNotification() ends a
  // run cut short by an exception, leaving every pending bit.
  bool beginNotification();
  void publishToSubscribers();
  void endNotification();
  void abandonNotification();
  // For a derived class that runs the hooks of a run itself, one by one: the
  // hooks as runHooks would find them (an empty functor for one removed
  // during the run), and the count getHooksBegun() answers meanwhile.
  int getHookCount() const { return hookCountAll(); }
  KVRFunctor0 getHookAt(int i) const { return hookAt(i); }
  void setHooksBegun(int count) { notifying_ = static_cast<std::uint8_t>(1 + (count < 0xFE ? count : 0xFE)); }

  struct Subscription {
    KVREventFunctor functor;
    std::uint64_t mask;
    int priority;
  };

  // What only some agents need, allocated on first use. A derived class that
  // keeps rarely used data of its own derives from it and overrides
  // makeRareParts(), which is never called while the agent is being destroyed.
  struct KVRPLATFORM_API RareParts {
    RareParts();
    RareParts(const RareParts&) = delete;
    RareParts& operator=(const RareParts&) = delete;
    virtual ~RareParts();

    std::vector<KVRFunctor0> hooks;  // every hook, once they are no longer kept inline
    std::vector<Subscription> subscribers;
    std::vector<KVRSharedBase> extensions;  // an extendible object's
  };
  virtual RareParts* makeRareParts() const;
  // Null until some rarely used part was needed.
  RareParts* findRareParts() const { return rare_; }
  RareParts& rareParts();

 private:
  enum State : std::uint8_t {
    HasSubscribers = 1,  // subscriptions exist (some may be emptied during a run)
    HooksApart = 2,      // the hooks are kept as functors in the rare part
    HasRemoved = 4,      // entries emptied during a run, erased when it ends
    NeedsSort = 8,       // subscriptions added during a run, ordered when it ends
  };

  // Hooks bound to the agent itself are kept inline as codes (1 to 255) of a
  // table of member functions shared by all agents; 0 marks a hook removed
  // during a run.
  static constexpr int InlineHooks = 3;

  int hookCountAll() const;
  // The hook at `i` as a functor; empty when it was removed during a run.
  KVRFunctor0 hookAt(int i) const;
  void moveHooksApart();
  void runHooks();
  void compact();

  // Nonzero while a notification runs on this agent: 1 + the hooks begun
  // (0xFF: all of them), kept in one byte with the rest of the state.
  std::uint8_t notifying_ = 0;
  std::uint8_t state_ = 0;
  std::uint8_t hookCount_ = 0;  // inline hooks
  EventMask pending_;
  EventMask raised_;  // bits set while a notification runs: pending again after it
  RareParts* rare_ = nullptr;
  std::uint8_t hookCodes_[InlineHooks] = {};
};
