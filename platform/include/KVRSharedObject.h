#pragma once

// Reference-counted objects and the handles that hold them.
//
// Every model object is a KVRSharedObject created with `new` and held in
// KVRSharedHandle<T>. The count lives in the object (so a handle can be made
// from a plain `this`), and copying a handle costs one increment and no heap
// allocation. An object is deleted when its last handle goes. Objects on the
// stack or inside other objects are not supported.
//
// Lock modes: a handle may be built with a lock mode (0 plain copy, 1 while
// reading, 2 while modifying or walking children). The model is used by one
// thread at a time, so the modes document intent and take no lock. Counting is
// not atomic for the same reason.

#include <climits>
#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>

#include "KVRDynamicObject.h"
#include "KVRPlatformExport.h"

class KVRPLATFORM_API KVRSharedObject : public KVRDynamicObject {
 public:
  // What a transaction on the object did; passed to onNotificationTxn.
  enum TransactionTrigger { TransactionCommit = 0, TransactionAbort = 1 };

  static const KVRClassInfo ClassInfo_;

  KVRSharedObject() = default;
  // A copy starts with no handles and not orphaned.
  KVRSharedObject(const KVRSharedObject& source) : KVRDynamicObject(source) {}
  ~KVRSharedObject() override;

  const KVRClassInfo& getClassInfo() const override;

  int getReferenceCount() const { return references_; }
  bool isOrphaned() const { return orphaned_; }

  // Releases what ties the object to others, once; later calls do nothing.
  // Classes override it as: if not yet orphaned, release own members, then
  // the base class's orphanObject().
  virtual void orphanObject();

  void addReference() const { ++references_; }
  void releaseReference() const {
    if (--references_ == 0) destroy();
  }
  // Gives up a reference without deleting the object when it was the last:
  // the object is then as if just made with `new`, owned by whoever holds the
  // raw pointer (the factories and duplicateObject hand copies out this way).
  void abandonReference() const { --references_; }

 private:
  // Deletes the object once its last handle is gone.
  void destroy() const;

  mutable int references_ = 0;
  bool orphaned_ = false;
};

// Untyped handle: shares ownership of a KVRSharedObject.
class KVRPLATFORM_API KVRSharedBase {
 public:
  enum LockMode { NoLock = 0, ReadLock = 1, WriteLock = 2 };

  KVRSharedBase() = default;
  KVRSharedBase(std::nullptr_t) {}
  explicit KVRSharedBase(KVRSharedObject* object, int lockMode = NoLock) : object_(object) {
    (void)lockMode;
    if (object_) object_->addReference();
  }
  KVRSharedBase(const KVRSharedBase& other, int lockMode = NoLock) : object_(other.object_) {
    (void)lockMode;
    if (object_) object_->addReference();
  }
  KVRSharedBase(KVRSharedBase&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  KVRSharedBase& operator=(const KVRSharedBase& other) {
    if (other.object_) other.object_->addReference();
    KVRSharedObject* old = std::exchange(object_, other.object_);
    if (old) old->releaseReference();
    return *this;
  }
  KVRSharedBase& operator=(KVRSharedBase&& other) noexcept {
    if (this != &other) {
      KVRSharedObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      if (old) old->releaseReference();
    }
    return *this;
  }
  ~KVRSharedBase() {
    if (object_) object_->releaseReference();
  }

  bool isNull() const { return object_ == nullptr; }
  explicit operator bool() const { return object_ != nullptr; }
  KVRSharedObject* getObject() const { return object_; }

  // Empties the handle.
  void detach() {
    if (KVRSharedObject* old = std::exchange(object_, nullptr)) old->releaseReference();
  }

  // The referent's class is `info` or derives from it; false when empty.
  bool isDerivedFrom(const KVRClassInfo& info) const { return object_ && object_->isDerivedFrom(info); }

  // Equal when both refer to the same object (or both are empty).
  friend bool operator==(const KVRSharedBase& a, const KVRSharedBase& b) { return a.object_ == b.object_; }

 protected:
  KVRSharedObject* object_ = nullptr;
};

template <class T>
class KVRSharedHandle : public KVRSharedBase {
 public:
  using element_type = T;

  KVRSharedHandle() = default;
  KVRSharedHandle(std::nullptr_t) {}
  explicit KVRSharedHandle(T* object, int lockMode = NoLock) : KVRSharedBase(object, lockMode) {}
  KVRSharedHandle(const KVRSharedHandle& other, int lockMode = NoLock) : KVRSharedBase(other, lockMode) {}
  KVRSharedHandle(KVRSharedHandle&& other) noexcept = default;
  // A handle of a derived class converts to a handle of its base class.
  template <class U>
  requires(std::is_convertible_v<U*, T*> && !std::is_same_v<U, T>)
      KVRSharedHandle(const KVRSharedHandle<U>& other, int lockMode = NoLock)
      : KVRSharedBase(other, lockMode) {}
  template <class U>
  requires(std::is_convertible_v<U*, T*> && !std::is_same_v<U, T>) KVRSharedHandle(KVRSharedHandle<U>&& other)
  noexcept : KVRSharedBase(std::move(other)) {}
  KVRSharedHandle& operator=(const KVRSharedHandle& other) = default;
  KVRSharedHandle& operator=(KVRSharedHandle&& other) noexcept = default;

  // The referent as a T: empty for an empty handle; KVREInvalidCast when the
  // referent's class is not T nor derived from it.
  static KVRSharedHandle downcast(const KVRSharedBase& source);

  T* get() const { return static_cast<T*>(object_); }
  T* operator->() const { return get(); }
  T& operator*() const { return *get(); }

  // Empties the handle and returns the object without deleting it, even when
  // this was its last handle: the caller takes it over as a raw pointer.
  T* relinquish() {
    T* object = get();
    if (object_) object_->abandonReference();
    object_ = nullptr;
    return object;
  }
};

// Throws KVREInvalidCast with the text "The source and target handles have incompatible referent types".
[[noreturn]] KVRPLATFORM_API void KVRThrowIncompatibleHandles();

template <class T>
KVRSharedHandle<T> KVRSharedHandle<T>::downcast(const KVRSharedBase& source) {
  KVRSharedObject* object = source.getObject();
  if (!object) return KVRSharedHandle<T>();
  T* typed = dynamic_cast<T*>(object);
  if (!typed) KVRThrowIncompatibleHandles();
  return KVRSharedHandle<T>(typed);
}

// A copy of `source`'s object made by its own class (duplicateObject), held
// in a handle of the source's static type from the moment it exists: nothing
// can leak between the copy and its handle. Empty for an empty source, or
// when the class makes no copy.
template <class T>
KVRSharedHandle<T> KVRDuplicate(const KVRSharedHandle<T>& source,
                                KVRDynamicObject::CopyMode mode = KVRDynamicObject::CopyDeep) {
  if (!source) return KVRSharedHandle<T>();
  KVRDynamicObject* copy = source->duplicateObject(mode);
  // The copy is of the source's own class, which derives from T.
  return KVRSharedHandle<T>(static_cast<T*>(static_cast<KVRSharedObject*>(copy)));
}

// Raw access to an object owned elsewhere (for instance the sender of an
// event, valid for the duration of the call). It does not share ownership,
// and deleting the object through it is refused with an assertion report
// ("Cannot delete a shared pointer"); the object stays alive.
struct KVRPLATFORM_API KVRSharedPointerDeleteGuard {
  static void operator delete(void* object);
};

template <class T>
class KVRSharedConstPointer {
 public:
  KVRSharedConstPointer() = default;
  KVRSharedConstPointer(std::nullptr_t) {}
  explicit KVRSharedConstPointer(const T* object) : object_(object) {}
  template <class U>
  requires std::is_convertible_v<const U*, const T*> KVRSharedConstPointer(const KVRSharedHandle<U>& handle)
      : object_(handle.get()) {}

  const T* get() const { return object_; }
  const T* operator->() const { return object_; }
  const T& operator*() const { return *object_; }
  bool isNull() const { return object_ == nullptr; }
  // Testing the pointer converts it to the guard type, which also catches `delete`.
  operator KVRSharedPointerDeleteGuard*() const {
    return object_ ? reinterpret_cast<KVRSharedPointerDeleteGuard*>(const_cast<T*>(object_)) : nullptr;
  }

  // Same object as the handle.
  friend bool operator==(const KVRSharedConstPointer& p, const KVRSharedBase& h) {
    return static_cast<const KVRSharedObject*>(p.object_) == h.getObject();
  }

 private:
  const T* object_ = nullptr;
};

template <class T>
class KVRSharedPointer {
 public:
  KVRSharedPointer() = default;
  KVRSharedPointer(std::nullptr_t) {}
  explicit KVRSharedPointer(T* object) : object_(object) {}
  template <class U>
  requires std::is_convertible_v<U*, T*> KVRSharedPointer(const KVRSharedHandle<U>& handle)
      : object_(handle.get()) {}

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  bool isNull() const { return object_ == nullptr; }
  operator KVRSharedPointerDeleteGuard*() const {
    return object_ ? reinterpret_cast<KVRSharedPointerDeleteGuard*>(object_) : nullptr;
  }
  operator KVRSharedConstPointer<T>() const { return KVRSharedConstPointer<T>(object_); }

  friend bool operator==(const KVRSharedPointer& p, const KVRSharedBase& h) {
    return static_cast<const KVRSharedObject*>(p.object_) == h.getObject();
  }

 private:
  T* object_ = nullptr;
};

template <class T>
struct std::hash<KVRSharedHandle<T>> {
  std::size_t operator()(const KVRSharedHandle<T>& h) const noexcept {
    return std::hash<const void*>()(h.getObject());
  }
};
