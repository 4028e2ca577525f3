// Notification agents (hooks, subscribers, the order of a notification),
// functors, and extensions.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KVRException.h"
#include "KVRExtendibleObject.h"
#include "KVRFunctor.h"
#include "KVRNotificationAgent.h"

namespace {

using Mask = std::bitset<64>;

Mask bits(std::initializer_list<int> numbers) {
  Mask m;
  for (int n : numbers) m.set(static_cast<std::size_t>(n));
  return m;
}

// An agent whose hook and subscribers write into a shared journal.
class Recorder : public KVRNotificationAgent {
 public:
  explicit Recorder(std::vector<std::string>& journal, std::string name = "r")
      : name(name), journal_(journal) {}
  void hook() { journal_.push_back("hook " + getPendingEvents().to_string().substr(60)); }
  void otherHook() { journal_.push_back("other hook"); }
  void onEvent(const KVRSharedConstPointer<Recorder>& sender, const Mask& mask) {
    journal_.push_back(name + " got " + mask.to_string().substr(60) +
                       (sender.get() ? " from recorder" : " from ?"));
  }
  std::string name;

 private:
  std::vector<std::string>& journal_;
};

KVRFunctor0 hook(Recorder* agent, void (Recorder::*member)()) {
  return KVRMakeFunctorM(KVRNotificationAgent::NotificationHookNil, agent, member);
}

TEST(Functor, EqualWhenMadeFromTheSameObjectAndMember) {
  std::vector<std::string> journal;
  KVRSharedHandle<Recorder> a(new Recorder(journal)), b(new Recorder(journal));
  const KVRFunctor0 f1 = hook(a.get(), &Recorder::hook);
  EXPECT_TRUE(f1 == hook(a.get(), &Recorder::hook));
  EXPECT_FALSE(f1 == hook(a.get(), &Recorder::otherHook));
  EXPECT_FALSE(f1 == hook(b.get(), &Recorder::hook));
  EXPECT_THROW(KVRNotificationAgent::NotificationHookNil(), std::bad_function_call);
  // Functors carry arguments and results.
  struct Store {
    double value = 0;
    void set(double v) { value = v; }
    double get() const { return value; }
  } store;
  KVRMakeFunctorM(KVRFunctor1<double>(), &store, &Store::set)(2.5);
  EXPECT_EQ(KVRMakeFunctorM(KVRFunctor0wRet<double>(), &store, &Store::get)(), 2.5);
}

TEST(NotificationAgent, HooksRunFirstWithTheBitsStillSetThenMatchingSubscribersThenTheMaskClears) {
  std::vector<std::string> journal;
  KVRSharedHandle<Recorder> agent(new Recorder(journal));
  KVRSharedHandle<Recorder> low(new Recorder(journal, "low")), high(new Recorder(journal, "high")),
      deaf(new Recorder(journal, "deaf"));
  agent->addNotificationHook(hook(agent.get(), &Recorder::hook));
  agent->addSubscriber(KVRMakeEventFunctor(low.get(), &Recorder::onEvent), bits({1, 2}), -1);
  agent->addSubscriber(KVRMakeEventFunctor(high.get(), &Recorder::onEvent), bits({2}), 5);
  agent->addSubscriber(KVRMakeEventFunctor(deaf.get(), &Recorder::onEvent), bits({3}), 9);

  agent->setEvent(2);
  agent->setEvent(0);
  agent->notifySubscribers();
  EXPECT_EQ(journal, (std::vector<std::string>{"hook 0101", "high got 0101 from recorder",
                                               "low got 0101 from recorder"}));
  EXPECT_TRUE(agent->getPendingEvents().none());
  EXPECT_THROW(agent->setEvent(64), std::out_of_range);
}

TEST(NotificationAgent, SubscribersOfEqualPriorityRunInTheOrderTheySubscribed) {
  std::vector<std::string> journal;
  KVRSharedHandle<Recorder> agent(new Recorder(journal));
  std::vector<KVRSharedHandle<Recorder>> listeners;
  for (const char* name : {"first", "second", "third"}) listeners.emplace_back(new Recorder(journal, name));
  KVRSharedHandle<Recorder> urgent(new Recorder(journal, "urgent"));
  agent->addSubscriber(KVRMakeEventFunctor(listeners[0].get(), &Recorder::onEvent), bits({1}), 0);
  agent->addSubscriber(KVRMakeEventFunctor(listeners[1].get(), &Recorder::onEvent), bits({1}), 0);
  agent->addSubscriber(KVRMakeEventFunctor(urgent.get(), &Recorder::onEvent), bits({1}), 3);
  agent->addSubscriber(KVRMakeEventFunctor(listeners[2].get(), &Recorder::onEvent), bits({1}), 0);
  agent->setEvent(1);
  agent->notifySubscribers();
  EXPECT_EQ(journal,
            (std::vector<std::string>{"urgent got 0010 from recorder", "first got 0010 from recorder",
                                      "second got 0010 from recorder", "third got 0010 from recorder"}));
}

// An agent whose hook notifies it again: the nested notification is refused.
class Echo : public KVRNotificationAgent {
 public:
  void hook() {
    ++calls;
    setEvent(7);
    notifySubscribers();
  }
  int calls = 0;
};

TEST(NotificationAgent, ANotificationIsNotNestedInOneOfTheSameAgentAndItsBitsStayForTheNext) {
  KVRSharedHandle<Echo> echo(new Echo);
  echo->addNotificationHook(
      KVRMakeFunctorM(KVRNotificationAgent::NotificationHookNil, echo.get(), &Echo::hook));
  echo->setEvent(2);
  echo->notifySubscribers();
  EXPECT_EQ(echo->calls, 1);
  EXPECT_EQ(echo->getPendingEvents(), bits({7}));  // set during the run: published by the next one
  EXPECT_FALSE(echo->isNotifying());
}

TEST(NotificationAgent, SubscribersAndHooksAreRemovedByANewlyMadeEqualFunctorOneAtATime) {
  std::vector<std::string> journal;
  KVRSharedHandle<Recorder> agent(new Recorder(journal)), listener(new Recorder(journal));
  const auto functor = [&] { return KVRMakeEventFunctor(listener.get(), &Recorder::onEvent); };
  agent->addSubscriber(functor(), bits({4}), -1);
  agent->addSubscriber(functor(), bits({4}), -1);
  EXPECT_EQ(agent->getSubscriberCount(), 2);
  agent->removeSubscriber(functor());
  EXPECT_EQ(agent->getSubscriberCount(), 1);
  agent->removeSubscriber(functor());
  agent->removeSubscriber(functor());  // not subscribed any more: ignored
  EXPECT_EQ(agent->getSubscriberCount(), 0);
  EXPECT_THROW(agent->addSubscriber(KVREventFunctor(), bits({1}), 0), KVREInvalidArgument);
  EXPECT_THROW(agent->addNotificationHook(KVRFunctor0()), KVREInvalidArgument);

  for (int i = 0; i < 4; ++i)  // past the inline capacity
    agent->addNotificationHook(hook(agent.get(), i == 1 ? &Recorder::otherHook : &Recorder::hook));
  agent->removeNotificationHook(hook(agent.get(), &Recorder::otherHook));
  EXPECT_EQ(agent->getNotificationHookCount(), 3);
  agent->notifySubscribers();
  EXPECT_EQ(journal, (std::vector<std::string>{"hook 0000", "hook 0000", "hook 0000"}));
}

// A subscriber that unsubscribes another one and drops the last handle to it.
class Remover : public KVRNotificationAgent {
 public:
  KVRSharedHandle<Recorder> victim;
  KVRSharedHandle<KVRNotificationAgent> source;
  void onEvent(const KVRSharedConstPointer<KVRNotificationAgent>&, const Mask&) {
    source->removeSubscriber(KVRMakeEventFunctor(victim.get(), &Recorder::onEvent));
    victim.detach();
  }
};

TEST(NotificationAgent, ASubscriberRemovedDuringANotificationIsNotCalled) {
  std::vector<std::string> journal;
  KVRSharedHandle<Recorder> agent(new Recorder(journal));
  KVRSharedHandle<Remover> remover(new Remover);
  remover->victim = KVRSharedHandle<Recorder>(new Recorder(journal));
  remover->source = agent;
  agent->addSubscriber(KVRMakeEventFunctor(remover.get(), &Remover::onEvent), bits({1}), 10);
  agent->addSubscriber(KVRMakeEventFunctor(remover->victim.get(), &Recorder::onEvent), bits({1}), 0);
  agent->setEvent(1);
  agent->notifySubscribers();  // the victim is freed by the remover: calling it would be a use after free
  EXPECT_TRUE(journal.empty());
  EXPECT_EQ(agent->getSubscriberCount(), 1);
  remover->source.detach();
}

// An extension that subscribes to its object when bound and leaves when released.
class Watcher : public KVRExtensionObject {
 public:
  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;
  Watcher() = default;
  Watcher(const Watcher& source, CopyMode mode) : KVRExtensionObject(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
  const KVRUUID& getClassID() const override { return ClassID_; }
  void bindMembers() override {
    getBasicObject()->addSubscriber(KVRMakeEventFunctor(this, &Watcher::onEvent), bits({11}), -1);
  }
  void orphanMembers() override {
    if (auto object = getBasicObject())
      object->removeSubscriber(KVRMakeEventFunctor(this, &Watcher::onEvent));
  }
  void onEvent(const KVRSharedConstPointer<KVRNotificationAgent>&, const Mask&) { ++events; }
  int events = 0;
};
constinit const KVRClassInfo Watcher::ClassInfo_ =
    KVRClassInfo::concrete<Watcher>("Watcher", KVRExtensionObject::ClassInfo_);
constinit const KVRUUID Watcher::ClassID_("9d6f4a52-0c1b-4d8e-a3f7-5b2e6c9d0a11");

class Host : public KVRExtendibleObject {};

TEST(Extension, AttachFindBindOrphanAndDuplicate) {
  KVRSharedHandle<KVRExtendibleObject> host(new Host);
  KVRSharedHandle<Watcher> watcher(new Watcher);
  host->addExtension(watcher);
  EXPECT_EQ(host->getExtension(Watcher::ClassID_), watcher);
  EXPECT_TRUE(host->getExtension(KVRUUID()).isNull());
  EXPECT_THROW(host->addExtension(watcher), KVREAlreadyRegistered);
  EXPECT_THROW(host->addExtension(KVRSharedHandle<KVRExtensionObject>(new Watcher)), KVREAlreadyRegistered);
  EXPECT_THROW(host->addExtension(KVRSharedHandle<KVRExtensionObject>()), KVREInvalidArgument);

  host->setEvent(11);
  host->notifySubscribers();
  EXPECT_EQ(watcher->events, 1);

  // A duplicate is attached to its new owner.
  KVRSharedHandle<KVRExtendibleObject> second(new Host);
  KVRSharedHandle<KVRExtensionObject> copy(watcher->duplicateObject(KVRDynamicObject::CopyAlone, second));
  EXPECT_TRUE(second->getExtension(Watcher::ClassID_) == copy && copy->getBasicObject() == second);
  EXPECT_TRUE(second->removeExtension(Watcher::ClassID_));
  EXPECT_FALSE(second->removeExtension(Watcher::ClassID_));

  host->orphanObject();
  EXPECT_TRUE(watcher->getBasicObject().isNull());
  EXPECT_EQ(host->getSubscriberCount(), 0);
  EXPECT_EQ(host->getExtensionCount(), 0);
  EXPECT_TRUE(copy->isOrphaned());
}

}  // namespace
