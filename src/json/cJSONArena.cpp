// Regions of chunks, pieces cut from them in order, regions freed by count or all at once.
#include "cJSONArena.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include <sys/mman.h>

// Under AddressSanitizer the room not yet cut from a region is poisoned, so a write past a
// piece into it is caught.
#if defined(__SANITIZE_ADDRESS__)
#define HOSP_ARENA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSP_ARENA_ASAN 1
#endif
#endif
#ifdef HOSP_ARENA_ASAN
#include <sanitizer/asan_interface.h>
#define POISON(at, size) ASAN_POISON_MEMORY_REGION(at, size)
#define UNPOISON(at, size) ASAN_UNPOISON_MEMORY_REGION(at, size)
#else
#define POISON(at, size) ((void)(at), (void)(size))
#define UNPOISON(at, size) ((void)(at), (void)(size))
#endif

namespace {

constexpr std::size_t ChunkBytes =
    16384;  // a power of two: a piece's chunk is its address rounded down
constexpr std::size_t FirstRegionBytes = 4 * ChunkBytes;
constexpr std::size_t LastRegionBytes = 256 * ChunkBytes;
constexpr std::size_t PieceAlign = 8;  // nodes and entries hold pointers

std::size_t RoundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

// Sits at the start of the block taken from the heap (or mapped); the chunks follow at the next
// aligned address, each beginning with a Chunk.
struct cJSONArena::Region {
  // Pieces not yet given back: a walk may free the nodes of different parts of a document on
  // different threads at once, whose pieces may share a region.
  std::atomic<std::size_t> live{0};
  bool open = true;  // the arena may still cut pieces from it
  char* chunks = nullptr;
  char* chunksEnd = nullptr;
  char* nextChunk = nullptr;
  Held* held = nullptr;  // the list this region is in; none once its holder went
  Region* prev = nullptr;
  Region* next = nullptr;
  std::size_t mappedBytes = 0;  // the length of its mapping, for a region not from the heap
};

namespace {

struct alignas(16) Chunk {
  void* region;
};

}  // namespace

static_assert(cJSONArena::MaxPiece + sizeof(Chunk) <= ChunkBytes, "a piece must fit a chunk");

namespace {

cJSONArena::Region* RegionOf(const void* piece) {
  const auto chunk = reinterpret_cast<std::uintptr_t>(piece) & ~(std::uintptr_t{ChunkBytes} - 1);
  return static_cast<cJSONArena::Region*>(reinterpret_cast<const Chunk*>(chunk)->region);
}

// Fresh memory pages for a region of `bytes`. A big one lies on huge pages where the system gives
// them on request: a fresh page costs a fault each, and a big answer takes tens of thousands.
void* MapRegion(std::size_t bytes) {
  constexpr std::size_t HugePage = std::size_t{2} << 20;
  const std::size_t extra = bytes >= HugePage ? HugePage : 0;
  void* const mapped =
      ::mmap(nullptr, bytes + extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    throw std::bad_alloc();
  }
  if (extra == 0) {
    return mapped;
  }
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = RoundUp(start, HugePage);
  if (aligned > start) {
    ::munmap(mapped, aligned - start);
  }
  if (const std::size_t tail = start + extra - aligned) {
    ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  }
  auto* const block = reinterpret_cast<void*>(aligned);
  ::madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

}  // namespace

// Takes a region out of its list and gives it back to the heap, or its pages to the system.
void cJSONArena::Release(Region* region) noexcept {
  if (region->held != nullptr) {
    const std::lock_guard<std::mutex> lock(region->held->mutex_);
    (region->prev != nullptr ? region->prev->next : region->held->first_) = region->next;
    if (region->next != nullptr) {
      region->next->prev = region->prev;
    }
  }
  UNPOISON(region->chunks, static_cast<std::size_t>(region->chunksEnd - region->chunks));
  if (const std::size_t mapped = region->mappedBytes) {
    ::munmap(region, mapped);
  } else {
    ::operator delete(region);
  }
}

cJSONArena::~cJSONArena() { Close(); }

void cJSONArena::Close() noexcept {
  if (region_ != nullptr) {
    region_->open = false;
    if (region_->live.load(std::memory_order_acquire) == 0) {
      Release(region_);
    }
    region_ = nullptr;
  }
  next_ = chunk_end_ = nullptr;
}

std::unique_ptr<cJSONArena::Held> cJSONArena::Finish() {
  Close();
  if (held_ != nullptr && held_->first_ == nullptr) {
    held_.reset();
  }
  return std::move(held_);
}

void cJSONArena::Adopt(std::unique_ptr<Held> other) {
  if (other == nullptr) {
    return;
  }
  if (held_ == nullptr) {
    held_ = std::make_unique<Held>();
  }
  held_->Merge(*other);
}

void cJSONArena::Record(cJSON* node) { held_->recorded_.push_back(node); }

void cJSONArena::Spoil(const void* piece) noexcept {
  if (Held* const held = RegionOf(piece)->held) {
    held->spoiled_.store(true, std::memory_order_relaxed);
  }
}

cJSONArena::Held::~Held() {
  for (Region* region = first_; region != nullptr; region = region->next) {
    region->held = nullptr;
  }
}

bool cJSONArena::Held::Holds(const void* piece) const noexcept {
  return RegionOf(piece)->held == this;
}

void cJSONArena::Held::Merge(Held& other) {
  recorded_.insert(recorded_.end(), other.recorded_.begin(), other.recorded_.end());
  other.recorded_.clear();
  if (other.spoiled_.load(std::memory_order_relaxed)) {
    spoiled_.store(true, std::memory_order_relaxed);
  }
  while (Region* const region = other.first_) {
    other.first_ = region->next;
    region->held = this;
    region->prev = nullptr;
    region->next = first_;
    if (first_ != nullptr) {
      first_->prev = region;
    }
    first_ = region;
  }
}

void cJSONArena::Held::DropAll() noexcept {
  while (first_ != nullptr) {
    Release(first_);
  }
  recorded_.clear();
}

void cJSONArena::OpenRegion() {
  region_bytes_ =
      region_bytes_ == 0 ? FirstRegionBytes : std::min(region_bytes_ * 2, LastRegionBytes);
  // One chunk more than the region holds: the first aligned address may lie up to a chunk in.
  if (held_ == nullptr) {
    held_ = std::make_unique<Held>();
  }
  const std::size_t blockBytes = region_bytes_ + ChunkBytes;
  void* block = nullptr;
  if (mapRegions_) {
    block = MapRegion(blockBytes);
  } else {
    block = ::operator new(blockBytes);
  }
  Close();
  auto* const region = new (block) Region();
  region->mappedBytes = mapRegions_ ? blockBytes : 0;
  region->held = held_.get();
  region->next = held_->first_;
  if (held_->first_ != nullptr) {
    held_->first_->prev = region;
  }
  held_->first_ = region;
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = RoundUp(start + sizeof(Region), ChunkBytes);
  region->chunks = reinterpret_cast<char*>(first);
  region->chunksEnd =
      region->chunks + (start + region_bytes_ + ChunkBytes - first) / ChunkBytes * ChunkBytes;
  region->nextChunk = region->chunks;
  POISON(region->chunks, static_cast<std::size_t>(region->chunksEnd - region->chunks));
  region_ = region;
}

void* cJSONArena::Allocate(std::size_t size) {
  size = RoundUp(std::max<std::size_t>(size, 1), PieceAlign);
  if (next_ == nullptr || size > static_cast<std::size_t>(chunk_end_ - next_)) {
    if (region_ == nullptr || region_->nextChunk == region_->chunksEnd) {
      OpenRegion();
    }
    char* const chunk = region_->nextChunk;
    region_->nextChunk += ChunkBytes;
    UNPOISON(chunk, sizeof(Chunk));
    new (chunk) Chunk{region_};
    next_ = chunk + sizeof(Chunk);
    chunk_end_ = chunk + ChunkBytes;
  }
  void* const piece = next_;
  UNPOISON(piece, size);
  next_ += size;
  // Only this reading adds pieces to its region, so the count needs no locked step here.
  region_->live.store(region_->live.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  return piece;
}

void cJSONArena::Free(void* piece) noexcept {
  Region* const region = RegionOf(piece);
  if (region->live.fetch_sub(1, std::memory_order_acq_rel) == 1 && !region->open) {
    Release(region);
  }
}
