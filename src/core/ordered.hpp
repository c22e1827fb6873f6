// Insertion-ordered hash map and set: O(1) lookup, append, move-to-back,
// pop-front and erase, iteration oldest first. The ledgers, trackers and
// registries keep their collections in these.
#pragma once

#include <cstddef>
#include <functional>
#include <iterator>
#include <list>
#include <optional>
#include <unordered_map>
#include <utility>

namespace orvu::core {

// Hash for std::pair keys such as (room_id, message_id).
struct PairHash {
    template <class A, class B>
    std::size_t operator()(const std::pair<A, B>& p) const noexcept {
        std::size_t h = std::hash<A>{}(p.first);
        return h ^ (std::hash<B>{}(p.second) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};

template <class K, class V, class Hash = std::hash<K>>
class OrderedMap {
public:
    using Entry = std::pair<K, V>;
    using List = std::list<Entry>;
    using iterator = typename List::iterator;
    using const_iterator = typename List::const_iterator;

    OrderedMap() = default;
    OrderedMap(const OrderedMap& other) { *this = other; }
    OrderedMap& operator=(const OrderedMap& other) {
        if (this != &other) {
            clear();
            for (const auto& e : other.entries_) insert_back(e.first, e.second);
        }
        return *this;
    }
    OrderedMap(OrderedMap&&) noexcept = default;
    OrderedMap& operator=(OrderedMap&&) noexcept = default;

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    bool contains(const K& key) const { return index_.find(key) != index_.end(); }

    V* find(const K& key) {
        auto it = index_.find(key);
        return it == index_.end() ? nullptr : &it->second->second;
    }
    const V* find(const K& key) const {
        auto it = index_.find(key);
        return it == index_.end() ? nullptr : &it->second->second;
    }

    // Appends a new entry; an existing key keeps its value and place (returns false).
    bool insert_back(const K& key, V value) {
        if (contains(key)) return false;
        entries_.emplace_back(key, std::move(value));
        try {
            index_.emplace(key, std::prev(entries_.end()));
        } catch (...) {
            entries_.pop_back();
            throw;
        }
        return true;
    }

    // Sets the value; a new key is appended, an existing one keeps its place.
    void set(const K& key, V value) {
        if (V* existing = find(key)) {
            *existing = std::move(value);
        } else {
            insert_back(key, std::move(value));
        }
    }

    // Moves an existing entry to the newest position; false when absent.
    bool move_to_back(const K& key) {
        auto it = index_.find(key);
        if (it == index_.end()) return false;
        entries_.splice(entries_.end(), entries_, it->second);
        return true;
    }

    bool erase(const K& key) {
        auto it = index_.find(key);
        if (it == index_.end()) return false;
        entries_.erase(it->second);
        index_.erase(it);
        return true;
    }

    // Removes and returns the oldest entry.
    std::optional<Entry> pop_front() {
        if (entries_.empty()) return std::nullopt;
        index_.erase(entries_.front().first);
        Entry e = std::move(entries_.front());
        entries_.pop_front();
        return e;
    }

    const Entry* front() const noexcept { return entries_.empty() ? nullptr : &entries_.front(); }

    void clear() noexcept {
        index_.clear();
        entries_.clear();
    }

    iterator begin() noexcept { return entries_.begin(); }
    iterator end() noexcept { return entries_.end(); }
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }

private:
    List entries_;
    std::unordered_map<K, iterator, Hash> index_;
};

struct Unit {};

template <class K, class Hash = std::hash<K>>
class OrderedSet {
public:
    std::size_t size() const noexcept { return map_.size(); }
    bool empty() const noexcept { return map_.empty(); }
    bool contains(const K& key) const { return map_.contains(key); }
    bool insert_back(const K& key) { return map_.insert_back(key, Unit{}); }
    bool move_to_back(const K& key) { return map_.move_to_back(key); }
    bool erase(const K& key) { return map_.erase(key); }
    std::optional<K> pop_front() {
        auto e = map_.pop_front();
        if (!e) return std::nullopt;
        return std::move(e->first);
    }
    const K* front() const noexcept { return map_.front() ? &map_.front()->first : nullptr; }
    void clear() noexcept { map_.clear(); }

    // Iteration oldest first over the keys.
    template <class F>
    void for_each(F&& f) const {
        for (const auto& e : map_) f(e.first);
    }

private:
    OrderedMap<K, Unit, Hash> map_;
};

}  // namespace orvu::core
