#pragma once

// The children list of a tree, kept inside the children themselves: every
// child carries its links to its previous and next sibling and the list it
// is in. Appending, finding and removing a child cost constant time and no
// allocation, and walking the children touches nothing but the children.
// The list shares ownership of its children (one reference each), like a
// list of handles. A child is in at most one list of a kind at a time.
//
// `Access` names where T keeps its links: a type with
//   static KVRSiblingLinks<T>& links(T&);  static const KVRSiblingLinks<T>& links(const T&);

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "KVRSharedObject.h"

template <class T>
struct KVRSiblingLinks {
  T* previous = nullptr;
  T* next = nullptr;
  const void* owner = nullptr;  // the list holding the entry; null when unlisted
};

template <class T, class Access>
class KVRSiblingList {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T*;
    using difference_type = std::ptrdiff_t;
    using pointer = T* const*;
    using reference = T* const&;

    iterator() = default;
    explicit iterator(T* at) : at_(at) {}
    T* const& operator*() const { return at_; }
    iterator& operator++() {
      at_ = Access::links(*at_).next;
      return *this;
    }
    iterator operator++(int) {
      iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.at_ == b.at_; }

   private:
    T* at_ = nullptr;
  };

  KVRSiblingList() = default;
  KVRSiblingList(const KVRSiblingList&) = delete;
  KVRSiblingList& operator=(const KVRSiblingList&) = delete;
  ~KVRSiblingList() { clear(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* first() const { return first_; }
  T* last() const { return last_; }
  iterator begin() const { return iterator(first_); }
  iterator end() const { return iterator(); }

  static T* next(const T& item) { return Access::links(item).next; }
  bool contains(const T* item) const { return item && Access::links(*item).owner == this; }
  // Whether the item is in some list of this kind.
  static bool isListed(const T& item) { return Access::links(item).owner != nullptr; }

  // Appends an item that is in no list of this kind.
  void append(T* item) {
    KVRSiblingLinks<T>& links = Access::links(*item);
    item->addReference();
    links.owner = this;
    links.previous = last_;
    links.next = nullptr;
    if (last_)
      Access::links(*last_).next = item;
    else
      first_ = item;
    last_ = item;
    ++size_;
  }

  // Takes an item of this list out; drops the list's reference, which may
  // delete the item.
  void erase(T* item) {
    KVRSiblingLinks<T>& links = Access::links(*item);
    if (links.previous)
      Access::links(*links.previous).next = links.next;
    else
      first_ = links.next;
    if (links.next)
      Access::links(*links.next).previous = links.previous;
    else
      last_ = links.previous;
    links = KVRSiblingLinks<T>();
    --size_;
    item->releaseReference();
  }

  void clear() {
    while (first_) erase(first_);
  }

  // Visits every item in order as visit(item, next), holding both (next is
  // null at the end). An item taken out of the list while an earlier one is
  // visited ends the walk: the walk never follows a stale link.
  template <class Visit>
  void walk(Visit visit) const {
    KVRSharedHandle<T> item(first_, KVRSharedBase::WriteLock);
    while (item) {
      KVRSharedHandle<T> next(Access::links(*item).next);
      visit(*item, next.get());
      if (next && !contains(next.get())) break;
      item = std::move(next);
    }
  }

  // Replaces the container's contents with handles to the items whose class
  // derives from `info` (every item when null), in order.
  template <class Container>
  void collect(Container& out, const KVRClassInfo* info = nullptr) const {
    out.clear();
    for (T* item = first_; item; item = Access::links(*item).next)
      if (!info || item->isDerivedFrom(*info)) out.emplace_back(item);
  }
  // The number of items whose class derives from `info`.
  std::size_t count(const KVRClassInfo& info) const {
    std::size_t n = 0;
    for (T* item = first_; item; item = Access::links(*item).next) n += item->isDerivedFrom(info);
    return n;
  }

  // A number the list's owner keeps with the list, in the room the count
  // leaves: for example a stamp of the last change below it. The list itself
  // never reads or changes it.
  std::uint32_t ownerStamp() const { return ownerStamp_; }
  void setOwnerStamp(std::uint32_t stamp) { ownerStamp_ = stamp; }

 private:
  T* first_ = nullptr;
  T* last_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t ownerStamp_ = 0;
};
