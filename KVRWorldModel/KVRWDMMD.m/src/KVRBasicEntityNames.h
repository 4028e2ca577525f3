#pragma once

// How an entity's names are kept: text shared between the entities that
// bear it, full names as chains of pieces shared with the parent's, and the
// index of a parent's children by name.

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>

#include "KVRBasicEntity.h"

// Text whose characters all fit in a byte (Latin-1, ASCII among it), as
// names mostly are, is kept a byte per character; other text as it is given.
struct KVRBasicEntity::NameText {
  mutable std::uint32_t references;
  std::uint32_t length : 31;
  std::uint32_t narrow : 1;

  const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(this + 1); }
  const wchar_t* wide() const { return reinterpret_cast<const wchar_t*>(this + 1); }

  void appendTo(std::wstring& out) const {
    if (!narrow) {
      out.append(wide(), length);
      return;
    }
    const std::size_t at = out.size();
    out.resize(at + length);
    std::copy(bytes(), bytes() + length, out.begin() + static_cast<std::ptrdiff_t>(at));
  }
  // Writes the text to the `length` characters at `at`.
  void copyTo(wchar_t* at) const {
    if (narrow)
      std::copy(bytes(), bytes() + length, at);
    else
      std::copy(wide(), wide() + length, at);
  }
  // The same for the same text, wide or narrow.
  std::size_t hash() const {
    return narrow ? hashText(bytes(), bytes() + length) : hashText(wide(), wide() + length);
  }
  template <class Char>
  static std::size_t hashText(const Char* begin, const Char* end) {
    std::size_t h = 14695981039346656037ull;  // FNV-1a over the characters
    for (const Char* c = begin; c != end; ++c) h = (h ^ static_cast<std::uint32_t>(*c)) * 1099511628211ull;
    return h;
  }
  bool equals(const NameText& other) const {
    if (!other.narrow) return equals(std::wstring_view(other.wide(), other.length));
    if (!narrow) return other.equals(std::wstring_view(wide(), length));
    return length == other.length && std::equal(bytes(), bytes() + length, other.bytes());
  }
  bool equals(std::wstring_view text) const {
    if (text.size() != length) return false;
    if (!narrow) return text == std::wstring_view(wide(), length);
    return std::equal(text.begin(), text.end(), bytes(),
                      [](wchar_t given, unsigned char kept) { return given == static_cast<wchar_t>(kept); });
  }

  static const NameText* make(std::wstring_view text) {
    if (text.size() > MaxLength) throw std::length_error("A name of more than 2^31 - 1 characters");
    const bool narrow = std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= 0 && c <= 0xFF; });
    const std::size_t unit = narrow ? 1 : sizeof(wchar_t);
    void* memory = ::operator new(sizeof(NameText) + text.size() * unit);
    auto* made = new (memory) NameText{1, static_cast<std::uint32_t>(text.size()), narrow};
    if (narrow)
      std::transform(text.begin(), text.end(), reinterpret_cast<unsigned char*>(made + 1),
                     [](wchar_t c) { return static_cast<unsigned char>(c); });
    else
      std::copy(text.begin(), text.end(), reinterpret_cast<wchar_t*>(made + 1));
    return made;
  }
  static const NameText* share(const NameText* text) {
    if (text) ++text->references;
    return text;
  }
  static void release(const NameText* text) {
    if (text && --text->references == 0) ::operator delete(const_cast<NameText*>(text));
  }

  static constexpr std::size_t MaxLength = 0x7FFFFFFF;
};

struct KVRBasicEntity::NamePiece {
  mutable std::uint32_t references;
  // A full name given as text (updateFullName with a text): `text` holds all
  // of it and there is no prefix.
  bool whole;
  const NamePiece* prefix;  // what stands before the separator; null: nothing
  const NameText* text;     // the last component; null: DefaultBaseName

  // Shares `prefix` and `text`.
  static const NamePiece* make(const NamePiece* prefix, const NameText* text, bool whole) {
    if (prefix) ++prefix->references;
    return new NamePiece{1, whole, prefix, NameText::share(text)};
  }
  static const NamePiece* share(const NamePiece* piece) {
    if (piece) ++piece->references;
    return piece;
  }
  // Iterative: dropping a long chain of pieces does not recurse.
  static void release(const NamePiece* piece) {
    while (piece && --piece->references == 0) {
      const NamePiece* prefix = piece->prefix;
      NameText::release(piece->text);
      delete piece;
      piece = prefix;
    }
  }
  // Without recursion, as deep as the tree: the length first, then the
  // components written from the last one back.
  void appendTo(std::wstring& out) const {
    const std::size_t defaultLength = DefaultBaseName.size();
    std::size_t length = 0;
    for (const NamePiece* p = this; p; p = p->whole ? nullptr : p->prefix)
      length += p->whole ? p->text->length : 1 + (p->text ? p->text->length : defaultLength);
    const std::size_t start = out.size();
    out.resize(start + length);
    wchar_t* end = out.data() + out.size();
    for (const NamePiece* p = this; p; p = p->whole ? nullptr : p->prefix) {
      const std::size_t n = p->text ? p->text->length : defaultLength;
      end -= n;
      if (p->text)
        p->text->copyTo(end);
      else
        std::copy(DefaultBaseName.begin(), DefaultBaseName.end(), end);
      if (!p->whole) *--end = NameSeparator;
    }
  }
};

// The first child of each base name. Its entries are the children
// themselves, found by their name: a child's entry is taken out before it is
// renamed or unlinked and put back after.
struct KVRBasicEntity::ChildIndex {
  // Parents with fewer children are searched child by child.
  static constexpr std::size_t MinChildren = 8;

  struct Hash {
    using is_transparent = void;
    std::size_t operator()(const KVRBasicEntity* e) const { return e->hashBaseName(); }
    std::size_t operator()(std::wstring_view name) const {
      return NameText::hashText(name.data(), name.data() + name.size());
    }
  };
  using LogicalList = KVRSiblingList<KVRBasicEntity, LogicalLinks>;

  struct Equal {
    using is_transparent = void;
    bool operator()(const KVRBasicEntity* a, const KVRBasicEntity* b) const {
      if (a == b || a->name_ == b->name_) return true;
      if (a->name_ && b->name_) return a->name_->equals(*b->name_);
      return (a->name_ ? a : b)->hasBaseName(DefaultBaseName);
    }
    bool operator()(std::wstring_view name, const KVRBasicEntity* e) const { return e->hasBaseName(name); }
    bool operator()(const KVRBasicEntity* e, std::wstring_view name) const { return e->hasBaseName(name); }
  };
  std::unordered_set<KVRBasicEntity*, Hash, Equal> first;

  explicit ChildIndex(const KVRBasicEntity& parent) {
    first.reserve(parent.logicalChildren_.size());
    for (KVRBasicEntity* child : parent.logicalChildren_) first.insert(child);  // an earlier one stays
  }

  // `child`, listed at the end, is the first of its name unless one came before.
  void added(KVRBasicEntity& child) { first.insert(&child); }

  // Before `child` leaves the list or changes its name: the next of the
  // same name after it, if any, takes its place.
  void leaving(KVRBasicEntity& child) {
    const auto entry = first.find(&child);
    if (entry == first.end() || *entry != &child) return;
    first.erase(entry);
    for (KVRBasicEntity* next = LogicalList::next(child); next; next = LogicalList::next(*next))
      if (Equal()(next, &child)) {
        first.insert(next);
        break;
      }
  }

  // After `child`, listed where it was, took its new name: it is the first
  // of that name unless another of the name comes before it in the list.
  void renamed(const KVRBasicEntity& parent, KVRBasicEntity& child) {
    const auto entry = first.find(&child);
    if (entry == first.end()) {
      first.insert(&child);
      return;
    }
    for (KVRBasicEntity* e = parent.logicalChildren_.first(); e; e = LogicalList::next(*e)) {
      if (e == *entry) return;
      if (e == &child) break;
    }
    first.erase(entry);
    first.insert(&child);
  }
};
