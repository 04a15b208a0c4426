#include "geometry/cache.hpp"

#include <bit>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

namespace mirelon {

namespace cache_detail {

// Odd, with its bits spread over the whole word, so that each step of the key carries every
// bit of the running value upwards.
constexpr uint64_t kKeyMultiplier = 0x9e3779b97f4a7c15ULL;
constexpr uint64_t kPointSeed = 0x6a09e667f3bcc908ULL;
constexpr uint64_t kRingSeed = 0xbb67ae8584caa73bULL;
constexpr uint64_t kListSeed = 0x3c6ef372fe94f82bULL;

uint64_t seed_of(BvhBlockKind kind) {
  switch (kind) {
    case BvhBlockKind::points:
      return kPointSeed;
    case BvhBlockKind::closed_ring:
      return kRingSeed;
    case BvhBlockKind::segment_list:
      break;
  }
  return kListSeed;
}

inline uint64_t bits_of(double v) { return std::bit_cast<uint64_t>(v); }

// A bijection of 64-bit words in which every input bit changes about half the output bits (the
// splitmix64 finaliser). A word's sign bit, flipped, then changes the key everywhere rather than
// only in its top bit, where two such flips would cancel.
inline uint64_t mix_word(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

// One map with its lock. The map itself is created on its first insertion.
struct CacheMap {
  std::shared_mutex lock;
  std::unique_ptr<std::unordered_map<uint64_t, SharedBvhEntry>> map;
};

// Both maps are allocated once and never destroyed, like the pool: a host thread still inside a
// geometry kernel while the process exits must not find its lock already destroyed.
CacheMap& points_map() {
  static CacheMap* const m = new CacheMap;
  return *m;
}

CacheMap& segments_map() {
  static CacheMap* const m = new CacheMap;
  return *m;
}

// Item word k of a block (k < items' word count) as the entry stores it.
template <typename T>
double item_word(std::span<const T> words, BvhBlockKind kind, size_t n, size_t k) {
  if (kind != BvhBlockKind::closed_ring) return static_cast<double>(words[k]);
  const size_t item = k / 4;
  const size_t field = k % 4;
  const size_t vertex = field < 2 ? item : (item + 1 == n ? 0 : item + 1);
  return static_cast<double>(words[2 * vertex + field % 2]);
}

size_t item_words(BvhBlockKind kind, size_t n) {
  return kind == BvhBlockKind::points ? 2 * n : 4 * n;
}

// Whether a cached entry was made from exactly this block: a key is 64 bits, so different blocks
// can share one, and a hit is confirmed against the stored items bit for bit.
template <typename T>
bool entry_matches(const BvhCacheEntry& e, std::span<const T> words, size_t w, size_t n,
                   BvhBlockKind kind) {
  if (e.kind != kind || e.count != n || e.word_count != w) return false;
  const size_t total = item_words(kind, n);
  if (e.items.size() != total) return false;
  const double* stored = e.items.data();
  if (kind == BvhBlockKind::closed_ring) {
    // Each record repeats its successor's start vertex; comparing the starts covers them all.
    for (size_t k = 0; k < n; ++k) {
      if (bits_of(stored[4 * k]) != bits_of(static_cast<double>(words[2 * k])) ||
          bits_of(stored[4 * k + 1]) != bits_of(static_cast<double>(words[2 * k + 1])))
        return false;
    }
    return true;
  }
  for (size_t k = 0; k < total; ++k) {
    if (bits_of(stored[k]) != bits_of(static_cast<double>(words[k]))) return false;
  }
  return true;
}

template <typename T>
std::shared_ptr<BvhCacheEntry> build_entry(std::span<const T> words, size_t w, size_t n,
                                           BvhBlockKind kind) {
  auto entry = std::make_shared<BvhCacheEntry>();
  entry->kind = kind;
  entry->count = n;
  entry->word_count = w;
  const size_t total = item_words(kind, n);
  entry->items.resize(total);
  for (size_t k = 0; k < total; ++k) entry->items[k] = item_word(words, kind, n, k);
  if (kind == BvhBlockKind::points) {
    entry->hierarchy = bvh_build_points(entry->items, n);
  } else {
    entry->hierarchy = bvh_build_segments(entry->items, n);
  }
  return entry;
}

template <typename T>
SharedBvhEntry lookup_or_build(CacheMap& cache, std::span<const T> words, size_t w, size_t n,
                               BvhBlockKind kind) {
  const uint64_t key = bvh_cache_key(words.first(w), kind);
  SharedBvhEntry found;
  {
    std::shared_lock read(cache.lock);
    if (cache.map) {
      auto it = cache.map->find(key);
      if (it != cache.map->end()) found = it->second;
    }
  }
  if (found && entry_matches(*found, words, w, n, kind)) return found;
  found.reset();

  SharedBvhEntry built = build_entry(words, w, n, kind);  // no lock held while building

  // Entries released by the insertion are destroyed after the lock is dropped.
  std::unordered_map<uint64_t, SharedBvhEntry> evicted;
  SharedBvhEntry replaced;
  {
    std::unique_lock write(cache.lock);
    if (!cache.map) {
      cache.map = std::make_unique<std::unordered_map<uint64_t, SharedBvhEntry>>();
    } else if (cache.map->size() >= kBvhCacheCapacity) {
      evicted.swap(*cache.map);
    }
    auto [it, inserted] = cache.map->try_emplace(key, built);
    if (!inserted) {
      replaced = std::move(it->second);
      it->second = built;
    }
  }
  return built;
}

size_t entries_of(CacheMap& cache) {
  std::shared_lock read(cache.lock);
  return cache.map ? cache.map->size() : 0;
}

}  // namespace cache_detail

template <typename T>
bool bvh_cache_entry_matches(const BvhCacheEntry& entry, std::span<const T> words, size_t w,
                             size_t n, BvhBlockKind kind) {
  return cache_detail::entry_matches(entry, words, w, n, kind);
}

template <typename T>
uint64_t bvh_cache_key(std::span<const T> words, BvhBlockKind kind) {
  uint64_t h = cache_detail::seed_of(kind) ^ static_cast<uint64_t>(words.size());
  for (const T v : words) {
    h = (h ^ cache_detail::mix_word(cache_detail::bits_of(static_cast<double>(v)))) *
        cache_detail::kKeyMultiplier;
  }
  // The steps above carry differences only towards the high bits; the last mix spreads them
  // over the whole key.
  return cache_detail::mix_word(h);
}

template <typename T>
SharedBvhEntry cached_point_bvh(std::span<const T> coordinates, size_t n) {
  return cache_detail::lookup_or_build(cache_detail::points_map(), coordinates, 2 * n, n,
                                       BvhBlockKind::points);
}

template <typename T>
SharedBvhEntry cached_segment_bvh(std::span<const T> coordinates, size_t w, size_t n, int mode) {
  const BvhBlockKind kind =
      mode == kClosedRingMode ? BvhBlockKind::closed_ring : BvhBlockKind::segment_list;
  return cache_detail::lookup_or_build(cache_detail::segments_map(), coordinates, w, n, kind);
}

size_t bvh_cache_point_entries() { return cache_detail::entries_of(cache_detail::points_map()); }
size_t bvh_cache_segment_entries() {
  return cache_detail::entries_of(cache_detail::segments_map());
}

template uint64_t bvh_cache_key<float>(std::span<const float>, BvhBlockKind);
template uint64_t bvh_cache_key<double>(std::span<const double>, BvhBlockKind);
template bool bvh_cache_entry_matches<float>(const BvhCacheEntry&, std::span<const float>, size_t,
                                             size_t, BvhBlockKind);
template bool bvh_cache_entry_matches<double>(const BvhCacheEntry&, std::span<const double>,
                                              size_t, size_t, BvhBlockKind);
template SharedBvhEntry cached_point_bvh<float>(std::span<const float>, size_t);
template SharedBvhEntry cached_point_bvh<double>(std::span<const double>, size_t);
template SharedBvhEntry cached_segment_bvh<float>(std::span<const float>, size_t, size_t, int);
template SharedBvhEntry cached_segment_bvh<double>(std::span<const double>, size_t, size_t, int);

}  // namespace mirelon
