// Kernel host: the table the host finds its records by address in (objects,
// devices, pool blocks, requests, device nodes). Every request, every
// reference and every device a relations answer lists is looked up here, so
// it is an open-addressed table of (address, record) pairs: a lookup reads
// one slot, usually in one cache line, where a node-based map chases two or
// three pointers and divides by a prime. A record lives in its own node, so a
// pointer to it stays good while other entries come and go, as callers that
// keep one across a lookup need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace khost {

template <typename K, typename V>
class PointerMap {
 public:
  using value_type = std::pair<const K, V>;

  PointerMap() = default;
  PointerMap(const PointerMap&) = delete;
  PointerMap& operator=(const PointerMap&) = delete;
  ~PointerMap() { clear(); }

  class iterator {
   public:
    value_type& operator*() const { return map_->slots_[at_].node->entry; }
    value_type* operator->() const { return &map_->slots_[at_].node->entry; }
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
      const Slot& slot = slots_[at];
      if (!slot.node) return end();
      if (slot.key == key) return iterator(this, at);
    }
  }
  size_t count(K key) { return find(key) != end() ? 1 : 0; }

  V& operator[](K key) {
    iterator found = find(key);
    if (found != end()) return found->second;
    if ((size_ + 1) * 2 > slots_.size()) Grow();
    size_t at = Home(key);
    while (slots_[at].node) at = (at + 1) & mask_;
    slots_[at] = Slot{key, new Node{value_type(key, V())}};
    ++size_;
    return slots_[at].node->entry.second;
  }

  // Invalidates iterators (a later entry may move into the freed slot), not
  // pointers to other records.
  void erase(iterator it) {
    size_t hole = it.at_;
    delete slots_[hole].node;
    slots_[hole] = Slot{};
    --size_;
    // Entries after the hole that would no longer be reached from their home
    // slot move back into it, so no lookup ever needs a marker of a removal.
    for (size_t at = (hole + 1) & mask_; slots_[at].node; at = (at + 1) & mask_) {
      const size_t home = Home(slots_[at].key);
      const bool reachable = hole <= at ? (home > hole && home <= at) : (home > hole || home <= at);
      if (reachable) continue;
      slots_[hole] = slots_[at];
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
    for (Slot& slot : slots_) delete slot.node;
    slots_.clear();
    size_ = 0;
    mask_ = 0;
    shift_ = 64;
  }

 private:
  struct Node {
    value_type entry;
  };
  struct Slot {
    K key{};
    Node* node = nullptr;
  };

  // Fibonacci hashing: the top bits of the product spread addresses that
  // differ only in their low bits (allocations a few lines apart).
  size_t Home(K key) const {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  size_t NextUsed(size_t at) const {
    while (at < slots_.size() && !slots_[at].node) ++at;
    return at;
  }
  void Grow() {
    std::vector<Slot> old = std::move(slots_);
    const size_t capacity = old.empty() ? 16 : old.size() * 2;
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shift_ = 64;
    for (size_t c = capacity; c > 1; c >>= 1) --shift_;
    for (const Slot& slot : old) {
      if (!slot.node) continue;
      size_t at = Home(slot.key);
      while (slots_[at].node) at = (at + 1) & mask_;
      slots_[at] = slot;
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
  size_t mask_ = 0;
  unsigned shift_ = 64;
};

}  // namespace khost
