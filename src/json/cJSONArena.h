// Storage for the nodes that one reading of a JSON text makes.
#pragma once

#include <cstddef>

// A big answer is read into nearly a million small nodes and blocks. Taken one by one from
// the heap, their bookkeeping costs a tenth of the memory and freeing them a fifth of the
// time. Here they are cut one after another from regions of up to 4 MiB and given back by
// count: a region goes back to the heap with the last of its pieces, so a document freed
// part by part (or all at once) gives its memory back as it goes.
//
// A piece finds its region through the chunk it lies in: regions are divided into chunks
// aligned to their size, each beginning with a pointer to its region. One arena serves one
// reading, on one thread; its pieces may outlive it.
class cJSONArena {
 public:
  // Pieces bigger than this come from the heap instead, so a chunk is never wasted on one.
  static constexpr std::size_t MaxPiece = 2048;

  cJSONArena() = default;
  ~cJSONArena();
  cJSONArena(const cJSONArena&) = delete;
  cJSONArena& operator=(const cJSONArena&) = delete;

  // `size` bytes, aligned for any node or entry, for a size of at most MaxPiece.
  void* Allocate(std::size_t size);
  // Gives back a piece that Allocate returned, from whichever arena, open or closed.
  static void Free(void* piece) noexcept;

 private:
  struct Region;

  void OpenRegion();
  void Close() noexcept;

  Region* region_ = nullptr;  // the region pieces are cut from now
  char* next_ = nullptr;      // the free room of its current chunk
  char* chunk_end_ = nullptr;
  std::size_t region_bytes_ = 0;  // the size of the next region: small documents stay small
};
