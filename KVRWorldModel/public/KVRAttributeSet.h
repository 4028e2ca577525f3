#pragma once

// KVRAttributeSet<Key>: the named attributes of one model object, ordered by
// key (for wide-string keys, by the characters' codes). The set owns its
// attributes: a copy holds clones of them (the attributes' own clone()),
// destroying the set deletes every one, and removing an attribute deletes it.
// Attributes enter and leave only through the set's operations, so no
// attribute is shared by two sets or freed twice.

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "KVRAttributeBase.h"
#include "KVRException.h"

template <class Key>
class KVRAttributeSet {
 public:
  using Map = std::map<Key, KVRAttributeBase*>;
  using const_iterator = typename Map::const_iterator;

  KVRAttributeSet() = default;
  // Clones every attribute of `source`, in key order, under the same key.
  // A clone that throws leaves nothing behind.
  KVRAttributeSet(const KVRAttributeSet& source) {
    try {
      for (const auto& [key, attribute] : source.attributes_) {
        std::unique_ptr<KVRAttributeBase> clone(attribute->clone());
        attributes_.emplace_hint(attributes_.end(), key, clone.get());
        clone.release();
      }
    } catch (...) {
      clear();
      throw;
    }
  }
  KVRAttributeSet(KVRAttributeSet&& source) noexcept : attributes_(std::move(source.attributes_)) {
    source.attributes_.clear();
  }
  // Holds clones of the attributes of `source`; its own are deleted.
  KVRAttributeSet& operator=(const KVRAttributeSet& source) {
    if (this != &source) {
      KVRAttributeSet copy(source);
      attributes_.swap(copy.attributes_);
    }
    return *this;
  }
  KVRAttributeSet& operator=(KVRAttributeSet&& source) noexcept {
    KVRAttributeSet taken(std::move(source));
    attributes_.swap(taken.attributes_);
    return *this;
  }
  // Deletes every attribute, in key order.
  ~KVRAttributeSet() { clear(); }

  // The attribute under `key`, or null.
  KVRAttributeBase* findAttribute(const Key& key) const {
    const auto it = attributes_.find(key);
    return it == attributes_.end() ? nullptr : it->second;
  }
  // The attribute under `key` when it is an A, else null.
  template <class A>
  A* findAttribute(const Key& key) const {
    return dynamic_cast<A*>(findAttribute(key));
  }
  bool hasAttribute(const Key& key) const { return attributes_.count(key) != 0; }
  int getAttributeCount() const { return static_cast<int>(attributes_.size()); }
  bool empty() const { return attributes_.empty(); }
  // Key and attribute of each entry, in key order.
  const_iterator begin() const { return attributes_.begin(); }
  const_iterator end() const { return attributes_.end(); }

  // Stores `attribute` under `key`; the set owns it from then on. Refused,
  // the set unchanged and the attribute deleted, with KVREInvalidArgument for
  // an empty one and with KVREAlreadyRegistered when `key` is taken.
  KVRAttributeBase& addAttribute(const Key& key, std::unique_ptr<KVRAttributeBase> attribute) {
    if (!attribute) throw KVREInvalidArgument(L"An empty attribute cannot be added to an attribute set");
    if (hasAttribute(key)) {
      KVREAlreadyRegistered refusal(L"The attribute set already holds an attribute named \"%1\"");
      if constexpr (std::is_convertible_v<const Key&, std::wstring>) refusal << std::wstring(key);
      throw refusal;
    }
    KVRAttributeBase& stored = *attribute;
    attributes_.emplace(key, attribute.get());
    attribute.release();
    return stored;
  }
  // Deletes the attribute under `key`; false when there is none.
  bool removeAttribute(const Key& key) {
    const auto it = attributes_.find(key);
    if (it == attributes_.end()) return false;
    std::unique_ptr<KVRAttributeBase> removed(it->second);
    attributes_.erase(it);
    return true;
  }
  // Deletes every attribute, in key order, then empties the set.
  void clear() {
    for (auto& [key, attribute] : attributes_) delete std::exchange(attribute, nullptr);
    attributes_.clear();
  }

 private:
  Map attributes_;
};
