// The reference sets of the nearest-item forwards (point sets, a segment list, polygon rings) and
// the query loop they share: one parallel loop over the queries of every batch, each query asking
// the hierarchy over its batch's set.
//
// A set of at most kLocalBvhCapacity items gets its hierarchy built in place, on the stack of the
// thread that needs it, and answers its queries a lane's worth at a time: that costs less than
// hashing the set for the cache, and many small sets (one per batch) no longer push each other
// out of it. Larger sets come from the cache, looked up once per call for a set shared by every
// batch, else once per batch in batch order, a chunk of batches at a time. Either way the answer
// is the one the same build over the same 64-bit items gives, so every query gets the same hit
// whichever path, loop split, instruction-set level or worker count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "batch.hpp"
#include "cpu.hpp"
#include "geometry/bvh.hpp"
#include "geometry/cache.hpp"
#include "pool.hpp"

namespace mirelon {

// The reference blocks of a call: one block per batch, or one block broadcast to every batch,
// each holding `count` items formed from its words as `kind` says.
template <typename T>
struct ReferenceSets {
  BatchView<const T> blocks;
  size_t count = 0;
  BvhBlockKind kind = BvhBlockKind::points;

  bool small() const { return count <= kLocalBvhCapacity; }

  BvhItemKind item_kind() const {
    return kind == BvhBlockKind::points ? BvhItemKind::point : BvhItemKind::segment;
  }

  // The cache's entry over block b (as the kernels have always looked it up).
  SharedBvhEntry lookup(size_t b) const {
    const std::span<const T> words = blocks.block(b);
    switch (kind) {
      case BvhBlockKind::points:
        return cached_point_bvh<T>(words, count);
      case BvhBlockKind::closed_ring:
        return cached_segment_bvh<T>(words, 2 * count, count, kClosedRingMode);
      case BvhBlockKind::segment_list:
        break;
    }
    return cached_segment_bvh<T>(words, 4 * count, count, kSegmentListMode);
  }

  // Builds the hierarchy over block b into `local`, from the 64-bit items a cache entry would
  // hold: the words widened, and for a ring the record of edge k from vertex k to vertex k + 1
  // (the last back to vertex 0).
  void build_local(LocalBvh& local, size_t b) const {
    const T* w = blocks.block(b).data();
    double* items = local.items.data();
    if (kind == BvhBlockKind::closed_ring) {
      for (size_t k = 0; k < count; ++k) {
        const size_t next = k + 1 == count ? 0 : k + 1;
        items[4 * k] = static_cast<double>(w[2 * k]);
        items[4 * k + 1] = static_cast<double>(w[2 * k + 1]);
        items[4 * k + 2] = static_cast<double>(w[2 * next]);
        items[4 * k + 3] = static_cast<double>(w[2 * next + 1]);
      }
    } else {
      const size_t words = (kind == BvhBlockKind::points ? 2 : 4) * count;
      for (size_t k = 0; k < words; ++k) items[k] = static_cast<double>(w[k]);
    }
    local_bvh_build(local, item_kind(), count);
  }
};

namespace reference_sets_detail {

// Most cache entries a call holds at once: as many as the cache itself keeps.
inline constexpr size_t kHeldEntries = kBvhCacheCapacity;

// Queries a small set answers per call of local_bvh_nearest.
inline constexpr size_t kQueryChunk = 64;

// Splits [begin, end) of the flattened range j = b * m + i at the batch boundaries and calls
// run(b, first, stop) for each part.
template <typename Run>
void by_batch(size_t begin, size_t end, size_t m, Run& run) {
  size_t b = begin / m;
  for (size_t j = begin; j < end; ++b) {
    const size_t stop = std::min(end, (b + 1) * m);
    run(b, j, stop);
    j = stop;
  }
}

}  // namespace reference_sets_detail

// Runs write(b, i, j, hit, items) for query i < m of every batch b < batches, j = b * m + i, on
// the pool: `hit` is the nearest item of batch b's reference set to query i of `queries` block b
// (or nothing), as the hierarchy over that set answers it, and `items` the set's 64-bit items.
// Each query writes only its own outputs. batches * m must fit in size_t.
template <typename T, typename Write>
void for_each_nearest(const ReferenceSets<T>& sets, const BatchView<const T>& queries,
                      size_t batches, size_t m, Write&& write) {
  using namespace reference_sets_detail;
  const size_t total = batches * m;
  if (total == 0) return;
  const cpu::Level level = cpu::active();  // one body for the whole loop

  if (sets.small()) {
    // Queries of [first, stop) of batch b against `local`, a chunk at a time through the lanes.
    const auto answer = [&](const LocalBvh& local, size_t b, size_t first, size_t stop) {
      const T* q = queries.block(b).data();
      double qx[kQueryChunk];
      double qy[kQueryChunk];
      std::optional<NearestHit> hits[kQueryChunk];
      for (size_t j = first; j < stop; j += kQueryChunk) {
        const size_t n = std::min(kQueryChunk, stop - j);
        const size_t i0 = j - b * m;
        for (size_t k = 0; k < n; ++k) {
          qx[k] = static_cast<double>(q[2 * (i0 + k)]);
          qy[k] = static_cast<double>(q[2 * (i0 + k) + 1]);
        }
        local_bvh_nearest(local, sets.item_kind(), qx, qy, n, hits, level);
        for (size_t k = 0; k < n; ++k) write(b, i0 + k, j + k, hits[k], local.items.data());
      }
    };
    if (sets.blocks.broadcast()) {
      LocalBvh local;  // built once, read by every worker
      sets.build_local(local, 0);
      pool::parallel_for(total, [&](size_t begin, size_t end) {
        auto run = [&](size_t b, size_t first, size_t stop) { answer(local, b, first, stop); };
        by_batch(begin, end, m, run);
      });
    } else {
      pool::parallel_for(total, [&](size_t begin, size_t end) {
        LocalBvh local;  // a set per batch, built by each piece that reaches the batch
        auto run = [&](size_t b, size_t first, size_t stop) {
          sets.build_local(local, b);
          answer(local, b, first, stop);
        };
        by_batch(begin, end, m, run);
      });
    }
    return;
  }

  // Queries of [first, stop) of batch b, one at a time through the hierarchy `bvh`.
  const auto answer = [&](const BvhRef& bvh, size_t b, size_t first, size_t stop) {
    const T* q = queries.block(b).data();
    for (size_t j = first; j < stop; ++j) {
      const size_t i = j - b * m;
      const double qx = static_cast<double>(q[2 * i]);
      const double qy = static_cast<double>(q[2 * i + 1]);
      const std::optional<NearestHit> hit = sets.kind == BvhBlockKind::points
                                                ? bvh_nearest_point(bvh, qx, qy)
                                                : bvh_nearest_segment(bvh, qx, qy, level);
      write(b, i, j, hit, bvh.items);
    }
  };
  if (sets.blocks.broadcast()) {
    // Held for the whole loop: the workers borrow it read-only, and the cache may drop it
    // meanwhile without invalidating it.
    const SharedBvhEntry entry = sets.lookup(0);
    const BvhRef bvh = bvh_ref(entry->hierarchy, entry->items, entry->count);
    pool::parallel_for(total, [&](size_t begin, size_t end) {
      auto run = [&](size_t b, size_t first, size_t stop) { answer(bvh, b, first, stop); };
      by_batch(begin, end, m, run);
    });
    return;
  }
  // A set per batch: the entries of a chunk of batches, looked up in batch order, serve one loop.
  std::vector<SharedBvhEntry> held;
  for (size_t first_batch = 0; first_batch < batches; first_batch += kHeldEntries) {
    const size_t last_batch = std::min(batches, first_batch + kHeldEntries);
    held.clear();
    for (size_t b = first_batch; b < last_batch; ++b) held.push_back(sets.lookup(b));
    pool::parallel_for((last_batch - first_batch) * m, [&](size_t begin, size_t end) {
      auto run = [&](size_t b, size_t first, size_t stop) {
        const BvhCacheEntry& entry = *held[b - first_batch];
        answer(bvh_ref(entry.hierarchy, entry.items, entry.count), b, first, stop);
      };
      by_batch(first_batch * m + begin, first_batch * m + end, m, run);
    });
  }
}

}  // namespace mirelon
