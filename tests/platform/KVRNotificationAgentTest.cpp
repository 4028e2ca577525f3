// Notification agents (hooks, subscribers, the order of a notification), functors, and extensions.
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>
#include "KVRException.h"
#include "KVRExtendibleObject.h"
#include "KVRFunctor.h"
#include "KVRNotificationAgent.h"

namespace {
using Mask = std::bitset<64>;
using Journal = std::vector<std::string>;

Mask bits(std::initializer_list<int> numbers) {
  Mask m;
  for (int n : numbers) m.set(static_cast<std::size_t>(n));
  return m;
}

// An agent whose hooks and subscribers write a shared journal; a subscriber with an `action` runs it instead.
struct Recorder : KVRNotificationAgent {
  explicit Recorder(Journal& journal, std::string name = "r") : name(name), journal(journal) {}
  void hook() { journal.push_back("hook " + getPendingEvents().to_string().substr(60)); }
  void otherHook() { journal.push_back("other hook"); }
  void echo() {  // notifies its own agent again
    journal.push_back("echo");
    setEvent(7); notifySubscribers();
  }
  void onEvent(const KVRSharedConstPointer<Recorder>& sender, const Mask& mask) {
    if (action) return action();
    journal.push_back(name + " got " + mask.to_string().substr(60) +
                      (sender.get() ? " from recorder" : " from ?"));
  }
  KVREventFunctor subscriber() { return KVRMakeEventFunctor(this, &Recorder::onEvent); }
  std::string name;
  std::function<void()> action;
  Journal& journal;
};

KVRFunctor0 hook(Recorder* agent, void (Recorder::*member)()) {
  return KVRMakeFunctorM(KVRNotificationAgent::NotificationHookNil, agent, member);
}

TEST(NotificationAgent, HooksThenSubscribersRunByPriorityAndOrderNotNestedAndEqualFunctorsRemoveOne) {
  Journal journal;
  KVRSharedHandle<Recorder> agent(new Recorder(journal));
  std::vector<KVRSharedHandle<Recorder>> listeners;
  const auto listen = [&](const char* name, Mask mask, int priority) {
    listeners.emplace_back(new Recorder(journal, name));
    agent->addSubscriber(listeners.back()->subscriber(), mask, priority);
  };
  agent->addNotificationHook(hook(agent.get(), &Recorder::hook));
  listen("first", bits({1}), 0); listen("low", bits({1, 2}), -1); listen("high", bits({2}), 5);
  listen("second", bits({1}), 0); listen("urgent", bits({1}), 3); listen("deaf", bits({3}), 9);
  listen("third", bits({1}), 0);
  agent->setEvent(2); agent->setEvent(0);
  agent->notifySubscribers();
  EXPECT_EQ(journal, (Journal{"hook 0101", "high got 0101 from recorder", "low got 0101 from recorder"}));
  EXPECT_TRUE(agent->getPendingEvents().none());
  journal.clear(); agent->setEvent(1);
  agent->notifySubscribers();
  EXPECT_EQ(journal, (Journal{"hook 0010", "urgent got 0010 from recorder", "first got 0010 from recorder",
                              "second got 0010 from recorder", "third got 0010 from recorder",
                              "low got 0010 from recorder"}));
  EXPECT_THROW(agent->setEvent(64), std::out_of_range);
  // A notification is not nested in one of the same agent; bits set during the run stay for the next one.
  KVRSharedHandle<Recorder> echo(new Recorder(journal));
  echo->addNotificationHook(hook(echo.get(), &Recorder::echo));
  echo->setEvent(2); journal.clear();
  echo->notifySubscribers();
  EXPECT_EQ(journal, Journal{"echo"}); EXPECT_EQ(echo->getPendingEvents(), bits({7}));
  EXPECT_FALSE(echo->isNotifying()); journal.clear();
  // A subscriber that another one removes (dropping the last handle to it) during the run is not called.
  KVRSharedHandle<Recorder> remover(new Recorder(journal)), victim(new Recorder(journal, "victim"));
  remover->action = [&] { agent->removeSubscriber(victim->subscriber()), victim.detach(); };
  agent->addSubscriber(remover->subscriber(), bits({4}), 10);
  agent->addSubscriber(victim->subscriber(), bits({4}), 0);
  agent->setEvent(4); agent->notifySubscribers();  // calling the freed victim would be a use after free
  EXPECT_EQ(journal, Journal{"hook 0000"}); EXPECT_EQ(agent->getSubscriberCount(), 8);
  // Subscribers and hooks are removed by a newly made equal functor, one at a time.
  KVRSharedHandle<Recorder> own(new Recorder(journal)), listener(new Recorder(journal));
  const KVRFunctor0 f1 = hook(own.get(), &Recorder::hook);
  EXPECT_TRUE(f1 == hook(own.get(), &Recorder::hook));
  EXPECT_FALSE(f1 == hook(own.get(), &Recorder::otherHook) || f1 == hook(listener.get(), &Recorder::hook));
  EXPECT_THROW(KVRNotificationAgent::NotificationHookNil(), std::bad_function_call);
  for (int i = 0; i < 2; ++i) own->addSubscriber(listener->subscriber(), bits({4}), -1);
  own->removeSubscriber(listener->subscriber());
  EXPECT_EQ(own->getSubscriberCount(), 1);
  for (int i = 0; i < 2; ++i) own->removeSubscriber(listener->subscriber());  // the second is ignored
  EXPECT_EQ(own->getSubscriberCount(), 0);
  EXPECT_THROW(own->addSubscriber(KVREventFunctor(), bits({1}), 0), KVREInvalidArgument);
  EXPECT_THROW(own->addNotificationHook(KVRFunctor0()), KVREInvalidArgument);
  for (int i = 0; i < 4; ++i)  // past the inline capacity
    own->addNotificationHook(hook(own.get(), i == 1 ? &Recorder::otherHook : &Recorder::hook));
  own->removeNotificationHook(hook(own.get(), &Recorder::otherHook));
  EXPECT_EQ(own->getNotificationHookCount(), 3);
  journal.clear(); own->notifySubscribers();
  EXPECT_EQ(journal, (Journal{"hook 0000", "hook 0000", "hook 0000"}));
}

// An extension that subscribes to its object when bound and leaves when released.
struct Watcher : KVRExtensionObject {
  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;
  Watcher() = default;
  Watcher(const Watcher& source, CopyMode mode) : KVRExtensionObject(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
  const KVRUUID& getClassID() const override { return ClassID_; }
  void bindMembers() override { getBasicObject()->addSubscriber(subscriber(), bits({11}), -1); }
  void orphanMembers() override {
    if (auto object = getBasicObject()) object->removeSubscriber(subscriber());
  }
  KVREventFunctor subscriber() { return KVRMakeEventFunctor(this, &Watcher::onEvent); }
  void onEvent(const KVRSharedConstPointer<KVRNotificationAgent>&, const Mask&) { ++events; }
  int events = 0;
};
constinit const KVRClassInfo Watcher::ClassInfo_ =
    KVRClassInfo::concrete<Watcher>("Watcher", KVRExtensionObject::ClassInfo_);
constinit const KVRUUID Watcher::ClassID_("9d6f4a52-0c1b-4d8e-a3f7-5b2e6c9d0a11");

class Host : public KVRExtendibleObject {};

TEST(Extension, AttachFindBindOrphanAndDuplicate) {
  KVRSharedHandle<KVRExtendibleObject> host(new Host), second(new Host);
  KVRSharedHandle<Watcher> watcher(new Watcher);
  host->addExtension(watcher);
  EXPECT_EQ(host->getExtension(Watcher::ClassID_), watcher);
  EXPECT_TRUE(host->getExtension(KVRUUID()).isNull());
  EXPECT_THROW(host->addExtension(watcher), KVREAlreadyRegistered);
  EXPECT_THROW(host->addExtension(KVRSharedHandle<KVRExtensionObject>(new Watcher)), KVREAlreadyRegistered);
  EXPECT_THROW(host->addExtension(KVRSharedHandle<KVRExtensionObject>()), KVREInvalidArgument);
  host->setEvent(11); host->notifySubscribers();
  EXPECT_EQ(watcher->events, 1);
  KVRSharedHandle<KVRExtensionObject> copy(watcher->duplicateObject(KVRDynamicObject::CopyAlone, second));
  EXPECT_TRUE(second->getExtension(Watcher::ClassID_) == copy && copy->getBasicObject() == second);
  EXPECT_TRUE(second->removeExtension(Watcher::ClassID_));
  EXPECT_FALSE(second->removeExtension(Watcher::ClassID_)); EXPECT_TRUE(copy->isOrphaned());
  host->orphanObject();
  EXPECT_TRUE(watcher->getBasicObject().isNull());
  EXPECT_EQ(host->getSubscriberCount() + host->getExtensionCount(), 0);
}
}  // namespace
