#pragma once

// Containers of handles. Queries of the model that return several objects
// fill a caller's KVRSharedList or KVRSharedVector; both keep insertion order.

#include <list>
#include <type_traits>
#include <vector>

#include "KVRSharedObject.h"

template <class T>
using KVRSharedList = std::list<KVRSharedHandle<T>>;

template <class T>
using KVRSharedVector = std::vector<KVRSharedHandle<T>>;

// Replaces the destination's contents by the source's handles, in source
// order, each converted to the destination's element type (a conversion to a
// derived class throws KVREInvalidCast when a referent is not of that class).
template <class Destination, class Source>
void KVRSharedAssign(Destination& destination, const Source& source) {
  using Target = typename Destination::value_type;
  using From = typename Source::value_type;
  destination.clear();
  if constexpr (requires(Destination & d) { d.reserve(0); }) destination.reserve(source.size());
  for (const From& handle : source) {
    if constexpr (std::is_convertible_v<const From&, Target>)
      destination.push_back(handle);
    else
      destination.push_back(Target::downcast(handle));
  }
}

// A copy of a container's handles taken before walking it while the walk
// may change the container. Up to N handles are kept inline, so snapshots of
// small child lists cost no heap allocation.
template <class T, std::size_t N = 8>
class KVRSharedSnapshot {
 public:
  template <class Container>
  explicit KVRSharedSnapshot(const Container& source) : size_(static_cast<std::size_t>(source.size())) {
    if (size_ > N) overflow_.reserve(size_);
    std::size_t i = 0;
    for (const auto& element : source) {
      KVRSharedHandle<T> handle = asHandle(element);
      if (i < N)
        inline_[i] = std::move(handle);
      else
        overflow_.push_back(std::move(handle));
      ++i;
    }
  }
  KVRSharedSnapshot(const KVRSharedSnapshot&) = delete;
  KVRSharedSnapshot& operator=(const KVRSharedSnapshot&) = delete;

  std::size_t size() const { return size_; }
  const KVRSharedHandle<T>& operator[](std::size_t i) const { return i < N ? inline_[i] : overflow_[i - N]; }

 private:
  template <class U>
  static KVRSharedHandle<T> asHandle(const KVRSharedHandle<U>& handle) {
    return handle;
  }
  template <class U>
  static KVRSharedHandle<T> asHandle(U* object) {
    return KVRSharedHandle<T>(object);
  }

  std::size_t size_;
  KVRSharedHandle<T> inline_[N];
  std::vector<KVRSharedHandle<T>> overflow_;
};
