#pragma once

// An immutable, shared chain of handles: the cached ancestor lists of the two
// trees. Extending a chain by one entry shares the rest, so an entity's
// ancestor list costs one node whatever its depth, and siblings can share
// that node too. A chain is read root first, like an ancestor
// list; it is stored nearest entry first.

#include <cstdint>
#include <utility>

#include "KVRSharedList.h"

template <class T>
class KVRSharedChain {
 public:
  KVRSharedChain() = default;
  // `rest` followed by `last`.
  KVRSharedChain(const KVRSharedChain& rest, KVRSharedHandle<T> last)
      : node_(new Node{1, rest.node_ ? rest.node_->size + 1 : 1u, std::move(last), rest.node_}) {
    if (rest.node_) ++rest.node_->references;
  }
  // The entries of a list, root first.
  template <class Container>
  static KVRSharedChain fromContainer(const Container& entries) {
    KVRSharedChain chain;
    for (const auto& entry : entries) chain = KVRSharedChain(chain, entry);
    return chain;
  }
  KVRSharedChain(const KVRSharedChain& other) : node_(other.node_) {
    if (node_) ++node_->references;
  }
  KVRSharedChain(KVRSharedChain&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  KVRSharedChain& operator=(KVRSharedChain other) noexcept {
    std::swap(node_, other.node_);
    return *this;
  }
  ~KVRSharedChain() { release(node_); }

  int size() const { return node_ ? static_cast<int>(node_->size) : 0; }
  bool empty() const { return node_ == nullptr; }
  // The last entry (for an ancestor list, the parent); empty for an empty chain.
  KVRSharedHandle<T> last() const { return node_ ? node_->entry : KVRSharedHandle<T>(); }
  const T* lastObject() const { return node_ ? node_->entry.get() : nullptr; }
  // The chain without its last entry, sharing its nodes.
  KVRSharedChain rest() const {
    KVRSharedChain chain;
    chain.node_ = node_ ? node_->rest : nullptr;
    if (chain.node_) ++chain.node_->references;
    return chain;
  }

  // Whether this chain is `rest` followed by `last`, sharing rest's nodes:
  // true when it was made as KVRSharedChain(rest, last) or copied from one.
  bool extends(const KVRSharedChain& rest, const T* last) const {
    return node_ && node_->entry.get() == last && node_->rest == rest.node_;
  }

  bool contains(const KVRSharedBase& handle) const {
    for (const Node* n = node_; n; n = n->rest)
      if (n->entry == handle) return true;
    return false;
  }

  // The entry nearest the root for which `match` holds; empty when none does.
  template <class Predicate>
  KVRSharedHandle<T> firstFromRoot(Predicate match) const {
    const Node* found = nullptr;
    for (const Node* n = node_; n; n = n->rest)
      if (match(n->entry)) found = n;
    return found ? found->entry : KVRSharedHandle<T>();
  }

  // Calls `visit` for every entry, nearest first.
  template <class Visitor>
  void forEachFromLast(Visitor visit) const {
    for (const Node* n = node_; n; n = n->rest) visit(n->entry);
  }

  // Replaces the container's contents with the entries, root first.
  template <class Container>
  void copyTo(Container& out) const {
    out.clear();
    if constexpr (requires(Container & c) { c.reserve(0); }) {
      out.resize(static_cast<std::size_t>(size()));
      std::size_t i = out.size();
      for (const Node* n = node_; n; n = n->rest) out[--i] = n->entry;
    } else {
      for (const Node* n = node_; n; n = n->rest) out.push_front(n->entry);
    }
  }

  friend bool operator==(const KVRSharedChain& a, const KVRSharedChain& b) {
    const Node* x = a.node_;
    const Node* y = b.node_;
    for (; x && y && x != y; x = x->rest, y = y->rest)
      if (!(x->entry == y->entry)) return false;
    return x == y;
  }

 private:
  // 24 bytes: the heap's smallest block but one.
  struct Node {
    std::uint32_t references;
    std::uint32_t size;
    KVRSharedHandle<T> entry;
    Node* rest;
  };

  // Iterative, so that dropping a long chain does not recurse.
  static void release(Node* node) {
    while (node && --node->references == 0) {
      Node* rest = node->rest;
      delete node;
      node = rest;
    }
  }

  Node* node_ = nullptr;
};
