// Where 3-D entities live: blocks of whole cache lines cut from slabs, and
// the lines of the parent locations that siblings share.

#include <cstddef>
#include <new>

#include "KVRBasicEntity3DParts.h"

// --- Where entities live --------------------------------------------------

namespace {

// AddressSanitizer must see every entity's own allocation to catch the use
// of a freed one: its builds take entities from the heap.
#if defined(__SANITIZE_ADDRESS__)
#define KVR_ADDRESS_SANITIZER
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVR_ADDRESS_SANITIZER
#endif
#endif
#ifdef KVR_ADDRESS_SANITIZER
constexpr bool FromSlabs = false;
#else
constexpr bool FromSlabs = true;
#endif

constexpr std::size_t Line = 64;
constexpr std::size_t LargestBlockLines = 32;  // larger entities come from the heap
constexpr std::size_t SlabBytes = 256 * 1024;

// Constant-initialised and never destroyed: entities may outlive the
// library's other statics. Slabs are kept for the life of the process.
struct FreeBlock {
  FreeBlock* next;
};

// Blocks of whole lines cut one after the other from slabs; a freed block
// goes to the next one of its size.
struct Slabs {
  FreeBlock* free[LargestBlockLines + 1];
  char* cursor;
  std::size_t left;
};

// Entities, and apart from them the parent locations, whose lines would
// otherwise be strewn between the entities a flush walks.
constinit Slabs entitySlabs = {};
constinit Slabs lineSlabs = {};
constinit std::size_t blockBytes = 0;
constinit std::size_t slabBytes = 0;

std::size_t linesOf(std::size_t size) { return (size + Line - 1) / Line; }
bool fromSlab(std::size_t lines) { return FromSlabs && lines <= LargestBlockLines; }

void keepFree(Slabs& slabs, void* memory, std::size_t lines) {
  FreeBlock* block = static_cast<FreeBlock*>(memory);
  block->next = slabs.free[lines];
  slabs.free[lines] = block;
}

// A block of `lines` cache lines: a free one of that size, else the next
// lines of the present slab, else the start of a new slab.
void* takeBlock(Slabs& slabs, std::size_t lines) {
  const std::size_t bytes = lines * Line;
  if (!fromSlab(lines)) {
    void* block = ::operator new(bytes, std::align_val_t(Line));
    slabBytes += bytes;
    return block;
  }
  if (FreeBlock* block = slabs.free[lines]) {
    slabs.free[lines] = block->next;
    return block;
  }
  if (slabs.left < bytes) {
    char* slab = static_cast<char*>(::operator new(SlabBytes, std::align_val_t(Line)));
    if (slabs.left >= Line) keepFree(slabs, slabs.cursor, slabs.left / Line);  // the rest of the last slab
    slabBytes += SlabBytes;
    slabs.cursor = slab;
    slabs.left = SlabBytes;
  }
  void* block = slabs.cursor;
  slabs.cursor += bytes;
  slabs.left -= bytes;
  return block;
}

void giveBlock(Slabs& slabs, void* memory, std::size_t lines) {
  if (fromSlab(lines))
    keepFree(slabs, memory, lines);
  else
    ::operator delete(memory, std::align_val_t(Line));
}

}  // namespace

void* KVREntity3DParts::takeLine() {
  void* line = takeBlock(lineSlabs, 1);
  blockBytes += Line;
  return line;
}

void KVREntity3DParts::giveLine(void* line) noexcept {
  blockBytes -= Line;
  giveBlock(lineSlabs, line, 1);
}

void* KVRBasicEntity3D::operator new(std::size_t size) {
  const std::size_t lines = linesOf(size);
  void* block = takeBlock(entitySlabs, lines);  // throws std::bad_alloc before anything is counted
  blockBytes += lines * Line;
  return block;
}

void KVRBasicEntity3D::operator delete(void* memory, std::size_t size) noexcept {
  if (!memory) return;
  const std::size_t lines = linesOf(size);
  blockBytes -= lines * Line;
  giveBlock(entitySlabs, memory, lines);
}

std::size_t KVRBasicEntity3D::getEntityBlockBytes() { return blockBytes; }

std::size_t KVRBasicEntity3D::getEntitySlabBytes() { return slabBytes; }
