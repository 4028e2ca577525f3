#pragma once

// Functors bound to an object and one of its member functions: notification
// hooks, event subscriptions, symbol accessors. Two functors made from the
// same object and the same member function compare equal, so a subscription
// can be removed with a functor made anew. A default functor is empty.
//
//   KVRFunctor0 hook = KVRMakeFunctorM(KVRNotificationAgent::NotificationHookNil, this,
//   &Entity::onNotification);
//
// Making and calling a functor never allocates.

#include <bitset>
#include <cstring>
#include <functional>
#include <type_traits>

#include "KVRSharedObject.h"

class KVRNotificationAgent;

class KVRBaseFunctor {
 public:
  bool isEmpty() const { return object_ == nullptr; }
  explicit operator bool() const { return object_ != nullptr; }

  // Same object and same member function.
  friend bool operator==(const KVRBaseFunctor& a, const KVRBaseFunctor& b) {
    return a.object_ == b.object_ && std::memcmp(a.member_, b.member_, sizeof a.member_) == 0;
  }

 protected:
  friend class KVRNotificationAgent;  // keeps hooks bound to itself without their object pointer

  static constexpr std::size_t MemberSize = 16;  // a member function pointer of the Itanium C++ ABI

  template <class Member>
  void store(void* object, Member member) {
    static_assert(sizeof(Member) <= MemberSize, "member function pointer too large");
    object_ = object;
    std::memset(member_, 0, MemberSize);
    std::memcpy(member_, &member, sizeof(Member));
  }
  template <class Member>
  Member member() const {
    Member m;
    std::memcpy(&m, member_, sizeof(Member));
    return m;
  }

  void* object_ = nullptr;
  alignas(void*) unsigned char member_[MemberSize] = {};
};

template <class R, class... Args>
class KVRFunctor : public KVRBaseFunctor {
 public:
  using Invoker = R (*)(const KVRFunctor&, Args...);

  KVRFunctor() = default;

  // Calls the member function on the object. Calling an empty functor is a
  // programming error and throws std::bad_function_call.
  R operator()(Args... args) const {
    if (!invoke_) throw std::bad_function_call();
    return invoke_(*this, std::forward<Args>(args)...);
  }

  // A functor calling `member` on `object` with the arguments as given.
  template <class C, class Member>
  static KVRFunctor bind(C* object, Member member) {
    static_assert(std::is_member_function_pointer_v<Member>);
    return bindWith(object, member, [](const KVRFunctor& self, Args... args) -> R {
      auto* target = static_cast<C*>(self.object_);
      return std::invoke(self.template member<Member>(), target, std::forward<Args>(args)...);
    });
  }

  // A functor calling `invoke` with itself: for adaptors that convert the
  // arguments before they reach the member function.
  template <class C, class Member>
  static KVRFunctor bindWith(C* object, Member member, Invoker invoke) {
    KVRFunctor functor;
    functor.store(const_cast<std::remove_const_t<C>*>(object), member);
    functor.invoke_ = invoke;
    return functor;
  }

  template <class C, class Member>
  C* target() const {
    return static_cast<C*>(object_);
  }
  template <class Member>
  Member boundMember() const {
    return this->template member<Member>();
  }

 private:
  friend class KVRNotificationAgent;

  Invoker invoke_ = nullptr;
};

using KVRFunctor0 = KVRFunctor<void>;
template <class T>
using KVRFunctor1 = KVRFunctor<void, const T&>;
template <class T>
using KVRFunctor0wRet = KVRFunctor<T>;
template <class A, class B>
using KVRFunctor2 = KVRFunctor<void, A, B>;

// A functor of the same kind as `kind` (typically a nil functor of the wanted
// type) calling `member` on `object`.
template <class R, class... Args, class C, class Member>
KVRFunctor<R, Args...> KVRMakeFunctorM(const KVRFunctor<R, Args...>& kind, C* object, Member member) {
  (void)kind;
  return KVRFunctor<R, Args...>::bind(object, member);
}

// The functor type of event subscribers: it receives the sending agent and its
// pending event mask.
class KVRNotificationAgent;
using KVREventFunctor =
    KVRFunctor2<const KVRSharedConstPointer<KVRNotificationAgent>&, const std::bitset<64>&>;

// An event functor calling `member` on `object`. The member may take the
// sender as any class derived from KVRNotificationAgent; a sender of another
// class reaches it as a null pointer.
template <class C, class Sender>
KVREventFunctor KVRMakeEventFunctor(C* object, void (C::*member)(const KVRSharedConstPointer<Sender>&,
                                                                 const std::bitset<64>&)) {
  using Member = decltype(member);
  return KVREventFunctor::bindWith(
      object, member,
      [](const KVREventFunctor& self, const KVRSharedConstPointer<KVRNotificationAgent>& sender,
         const std::bitset<64>& mask) {
        C* target = self.template target<C, Member>();
        const KVRSharedConstPointer<Sender> typed(dynamic_cast<const Sender*>(sender.get()));
        (target->*self.template boundMember<Member>())(typed, mask);
      });
}
