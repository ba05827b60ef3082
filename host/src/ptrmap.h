// Kernel host: the table the host finds its records by address in (objects,
// devices, pool blocks, requests, device nodes). Every request, every
// reference and every device a relations answer lists is looked up here, so
// it is an open-addressed table: a lookup reads one slot, usually in one
// cache line, where a node-based map chases two or three pointers and divides
// by a prime. By default a record lives in a node of its own, so a pointer to
// it stays good while other entries come and go, as callers that keep one
// across a lookup need; a small record nobody points at (kInPlace) lives in
// its slot, and a lookup touches nothing else. Keys are never null: a null
// key marks an empty slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace khost {

namespace ptrmap_detail {

template <typename K, typename V, bool kInPlace>
struct Slot;

template <typename K, typename V>
struct Slot<K, V, false> {
  using Entry = std::pair<const K, V>;
  K key{};
  Entry* entry = nullptr;
  K Key() const { return key; }
  Entry& Get() const { return *entry; }
  static Slot Make(K k) { return Slot{k, new Entry(k, V())}; }
  void Destroy() { delete entry; }
};

template <typename K, typename V>
struct Slot<K, V, true> {
  using Entry = std::pair<K, V>;
  mutable Entry entry{};
  K Key() const { return entry.first; }
  Entry& Get() const { return entry; }
  static Slot Make(K k) { return Slot{Entry(k, V())}; }
  void Destroy() {}
};

}  // namespace ptrmap_detail

template <typename K, typename V, bool kInPlace = false>
class PointerMap {
  using Slot = ptrmap_detail::Slot<K, V, kInPlace>;

 public:
  using value_type = typename Slot::Entry;

  PointerMap() = default;
  PointerMap(const PointerMap&) = delete;
  PointerMap& operator=(const PointerMap&) = delete;
  ~PointerMap() { clear(); }

  class iterator {
   public:
    value_type& operator*() const { return map_->slots_[at_].Get(); }
    value_type* operator->() const { return &map_->slots_[at_].Get(); }
    iterator& operator++() {
      at_ = map_->NextUsed(at_ + 1);
      return *this;
    }
    bool operator==(const iterator& other) const { return at_ == other.at_; }
    bool operator!=(const iterator& other) const { return at_ != other.at_; }

   private:
    friend class PointerMap;
    iterator(PointerMap* map, size_t at) : map_(map), at_(at) {}
    PointerMap* map_;
    size_t at_;
  };

  iterator begin() { return iterator(this, NextUsed(0)); }
  iterator end() { return iterator(this, slots_.size()); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  iterator find(K key) {
    if (size_ == 0) return end();
    for (size_t at = Home(key);; at = (at + 1) & mask_) {
      const K held = slots_[at].Key();
      if (held == key) return iterator(this, at);
      if (held == K{}) return end();
    }
  }
  size_t count(K key) { return find(key) != end() ? 1 : 0; }

  V& operator[](K key) {
    iterator found = find(key);
    if (found != end()) return found->second;
    if ((size_ + 1) * 2 > slots_.size()) Grow();
    size_t at = Home(key);
    while (slots_[at].Key() != K{}) at = (at + 1) & mask_;
    slots_[at] = Slot::Make(key);
    ++size_;
    return slots_[at].Get().second;
  }

  // Invalidates iterators, and pointers to records kept in place (a later
  // entry may move into the freed slot); not pointers to records in nodes.
  void erase(iterator it) {
    size_t hole = it.at_;
    slots_[hole].Destroy();
    slots_[hole] = Slot{};
    --size_;
    // Entries after the hole that would no longer be reached from their home
    // slot move back into it, so no lookup ever needs a marker of a removal.
    for (size_t at = (hole + 1) & mask_; slots_[at].Key() != K{}; at = (at + 1) & mask_) {
      const size_t home = Home(slots_[at].Key());
      const bool reachable = hole <= at ? (home > hole && home <= at) : (home > hole || home <= at);
      if (reachable) continue;
      slots_[hole] = std::move(slots_[at]);
      slots_[at] = Slot{};
      hole = at;
    }
  }
  size_t erase(K key) {
    iterator found = find(key);
    if (found == end()) return 0;
    erase(found);
    return 1;
  }

  void clear() {
    for (Slot& slot : slots_)
      if (slot.Key() != K{}) slot.Destroy();
    slots_.clear();
    size_ = 0;
    mask_ = 0;
    shift_ = 64;
  }

 private:
  // Fibonacci hashing: the top bits of the product spread addresses that
  // differ only in their low bits (allocations a few lines apart).
  size_t Home(K key) const {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  size_t NextUsed(size_t at) const {
    while (at < slots_.size() && slots_[at].Key() == K{}) ++at;
    return at;
  }
  void Grow() {
    std::vector<Slot> old = std::move(slots_);
    const size_t capacity = old.empty() ? 16 : old.size() * 2;
    slots_.clear();
    slots_.resize(capacity);
    mask_ = capacity - 1;
    shift_ = 64;
    for (size_t c = capacity; c > 1; c >>= 1) --shift_;
    for (Slot& slot : old) {
      if (slot.Key() == K{}) continue;
      size_t at = Home(slot.Key());
      while (slots_[at].Key() != K{}) at = (at + 1) & mask_;
      slots_[at] = std::move(slot);
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
  size_t mask_ = 0;
  unsigned shift_ = 64;
};

}  // namespace khost
