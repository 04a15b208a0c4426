// The process-wide cache of built hierarchies: one map for point sets and one for segment sets,
// each keyed by a 64-bit hash of the coordinates and behind its own read-write lock. A kernel
// called again with the same reference geometry reuses the hierarchy instead of rebuilding it.
//
// Entries are immutable and shared by reference count: a caller holds its shared_ptr for as long
// as it queries (for instance for a kernel's parallel loop) and may lend the entry to worker
// threads meanwhile; an entry the cache has dropped stays valid for its holders. No lock is held
// while a hierarchy is built or queried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "geometry/bvh.hpp"

namespace mirelon {

// How the words of a block form items (the seed of the key differs per kind).
enum class BvhBlockKind : uint8_t {
  points,        // n points, 2n words (x, y)
  segment_list,  // n records, 4n words (x0, y0, x1, y1) taken as they stand
  closed_ring,   // n vertices, segment k from vertex k to vertex (k + 1) mod n
};

// The `mode` argument of cached_segment_bvh.
inline constexpr int kSegmentListMode = 0;
inline constexpr int kClosedRingMode = 1;

// A 64-bit copy of the items (points as (x, y), segments as (x0, y0, x1, y1)) with the
// hierarchy built over them. `kind` and `word_count` record the block the entry was made from,
// so that a lookup can confirm a key hit against the caller's words.
struct BvhCacheEntry {
  std::vector<double> items;
  Bvh hierarchy;
  BvhBlockKind kind = BvhBlockKind::points;
  size_t count = 0;       // number of items
  size_t word_count = 0;  // words of the block the key was taken over
};

using SharedBvhEntry = std::shared_ptr<const BvhCacheEntry>;

// The key of a block of words widened to 64-bit: over the IEEE bit patterns, each word mixed on
// its own before it is folded in, seeded per block kind and by the word count. Equal values with
// different bit patterns (0.0 and -0.0) give different keys; a block and its negation or mirror
// image give different keys.
template <typename T>
uint64_t bvh_cache_key(std::span<const T> words, BvhBlockKind kind);

// Whether `entry` was made from exactly this block of w words holding n items of `kind`: the
// same kind and counts, and every item word with the same bits. A key hit is confirmed with it.
template <typename T>
bool bvh_cache_entry_matches(const BvhCacheEntry& entry, std::span<const T> words, size_t w,
                             size_t n, BvhBlockKind kind);

// The entry over one block of n points (2n words, 64- or 32-bit). Never fails (other than by
// running out of memory).
template <typename T>
SharedBvhEntry cached_point_bvh(std::span<const T> coordinates, size_t n);

// The entry over n segments formed from w words by `mode`: kSegmentListMode (w >= 4n) or
// kClosedRingMode (w >= 2n).
template <typename T>
SharedBvhEntry cached_segment_bvh(std::span<const T> coordinates, size_t w, size_t n, int mode);

// Number of entries a map holds now (0 before its first insertion); for tests and diagnostics.
size_t bvh_cache_point_entries();
size_t bvh_cache_segment_entries();

// Most entries a map keeps: a miss that finds this many empties the map before inserting.
inline constexpr size_t kBvhCacheCapacity = 64;

}  // namespace mirelon
