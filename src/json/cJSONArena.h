// Storage for the nodes that one reading of a JSON text makes.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

class cJSON;

// A big answer is read into nearly a million small nodes and blocks. Taken one by one from
// the heap, their bookkeeping costs a tenth of the memory and freeing them a fifth of the
// time. Here they are cut one after another from regions of up to 4 MiB and given back by
// count: a region goes back to the heap with the last of its pieces, so a document freed
// part by part gives its memory back as it goes. A document dropped whole, unchanged since it
// was read, gives back all its regions at once without visiting its nodes (Held).
//
// A piece finds its region through the chunk it lies in: regions are divided into chunks
// aligned to their size, each beginning with a pointer to its region. One arena serves one
// reading, on one thread; its pieces may outlive it, and may be given back on any thread.
class cJSONArena {
 public:
  // Pieces bigger than this come from the heap instead, so a chunk is never wasted on one.
  static constexpr std::size_t MaxPiece = 2048;

  class Held;
  struct Region;  // a block of chunks taken from the heap, with its count of pieces

  cJSONArena() = default;
  ~cJSONArena();
  cJSONArena(const cJSONArena&) = delete;
  cJSONArena& operator=(const cJSONArena&) = delete;

  // `size` bytes, aligned for any node or entry, for a size of at most MaxPiece.
  void* Allocate(std::size_t size);
  // Gives back a piece that Allocate returned, from whichever arena, open or closed.
  static void Free(void* piece) noexcept;
  // Notes that the node `piece` belongs to gained something of its own on the heap or changed
  // after the reading, so that its document is freed node by node.
  static void Spoil(const void* piece) noexcept;
  // Notes a node of this reading that holds its name or its entries on the heap.
  void Record(cJSON* node);
  // Ends the reading: the regions cut so far, for the node read into to keep; none when no
  // piece was cut.
  std::unique_ptr<Held> Finish();
  // Takes over the regions of another reading of the same document, whose nodes this reading's
  // node now holds.
  void Adopt(std::unique_ptr<Held> other);
  // Takes the regions to come straight from the system's memory pages, and gives each back there
  // once empty: for a reading on a helper thread, since the heap would keep them for that thread
  // alone, out of reach of the thread that goes on with the document.
  void MapRegions() { mapRegions_ = true; }

 private:
  static void Release(Region* region) noexcept;
  void OpenRegion();
  void Close() noexcept;

  Region* region_ = nullptr;  // the region pieces are cut from now
  char* next_ = nullptr;      // the free room of its current chunk
  char* chunk_end_ = nullptr;
  std::size_t region_bytes_ = 0;  // the size of the next region: small documents stay small
  bool mapRegions_ = false;
  std::unique_ptr<Held> held_;  // every region of this reading
};

// The regions of one or more readings into one node, kept by that node. While nothing in them
// changed after the reading, the node's document is dropped by releasing the heap parts of the
// recorded nodes and then every region at once; once spoiled, its nodes go one by one and each
// region goes back by count as before.
class cJSONArena::Held {
 public:
  Held() = default;
  // Regions still held go back by count with their last pieces.
  ~Held();
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  bool Pristine() const { return !spoiled_.load(std::memory_order_relaxed); }
  // True when `piece`, a piece of some arena, lies in one of these regions.
  bool Holds(const void* piece) const noexcept;
  // The nodes in these regions whose names or entries lie on the heap.
  const std::vector<cJSON*>& Recorded() const { return recorded_; }
  // Takes over the regions and records of `other`.
  void Merge(Held& other);
  // Gives every region back at once, whatever pieces are still in them.
  void DropAll() noexcept;

 private:
  friend class cJSONArena;

  Region* first_ = nullptr;  // the regions, linked through Region::next
  std::atomic<bool> spoiled_{false};
  std::mutex mutex_;  // for the list, while a walk frees nodes on more than one thread
  std::vector<cJSON*> recorded_;
};
