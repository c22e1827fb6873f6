// Insertion-ordered hash map and set: O(1) lookup, append, move-to-back,
// pop-front and erase, iteration oldest first. The ledgers, trackers and
// registries keep their collections in these.
//
// Layout: the entries live in one array of slots, each holding the key and
// value once plus the 32-bit indices of its neighbours in insertion order;
// freed slots are chained for reuse. Lookup goes through a separate
// open-addressing table of 64-bit cells (a 32-bit hash fragment and the slot
// index), probed linearly and compacted by backward shifting on erase, so it
// never holds tombstones. String keys can be looked up by std::string_view
// and hash with the process's secret key, so that no order of insertion
// and no choice of keys makes the probes long. Every lookup also comes with
// the key's hash passed in (`hash(key)`), for a caller that looks one key up
// in several maps of one key type, or several times.
//
// Pointers to values and iterators stay valid until the next insertion
// (which may move the slots) or the removal of that entry. A caller that
// acts on one entry several times keeps its Handle rather than looking the
// key up again.
#pragma once

#include "core/bytes.hpp"

#include <algorithm>
#include <cstddef>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

// The map's operations are a few instructions each around one probe; they
// are inlined into their callers whatever a compiler's own limits say.
#if defined(__GNUC__) || defined(__clang__)
#define ORVU_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define ORVU_ALWAYS_INLINE __forceinline
#else
#define ORVU_ALWAYS_INLINE inline
#endif

namespace orvu::core {

// The default hash of a key; strings hash as views, so lookups need no copy,
// and with the process's secret key (bytes::hash), as ids from the network must.
template <class K>
struct KeyHash : std::hash<K> {};

// Whether a hash spreads its values over all 64 bits by itself.
template <class Hash>
inline constexpr bool kSpreadHash = requires { requires Hash::kSpreads; };

// A string key that keeps up to 23 bytes in itself and only a longer text
// in a block of its own, so that a short id (most are) costs its slot and
// nothing more: 24 bytes where a std::string takes 32 and, past its own
// 15 bytes, a heap block besides.
class Text {
public:
    Text(std::string_view text) {
        const std::size_t n = text.size();
        const char* from = text.data();
        if (n <= kInline) {
            // Whole words, the last one overlapping, rather than a library call for a few bytes.
            const auto copy = [&]<class Word>(Word, std::size_t at) { std::memcpy(bytes_ + at, from + at, sizeof(Word)); };
            if (n >= 8) {
                for (std::size_t i = 0; i + 8 < n; i += 8) copy(std::uint64_t{}, i);
                copy(std::uint64_t{}, n - 8);
            } else if (n >= 4) {
                copy(std::uint32_t{}, 0);
                copy(std::uint32_t{}, n - 4);
            } else {
                for (std::size_t i = 0; i < n; ++i) bytes_[i] = static_cast<unsigned char>(from[i]);
            }
            bytes_[kTag] = static_cast<unsigned char>(n);
            return;
        }
        char* block = new char[text.size()];
        std::memcpy(block, text.data(), text.size());
        const std::size_t size = text.size();
        std::memcpy(bytes_, &block, sizeof block);
        std::memcpy(bytes_ + sizeof block, &size, sizeof size);
        bytes_[kTag] = kOnHeap;
    }
    Text(const Text& other) : Text(other.view()) {}
    Text(Text&& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        other.bytes_[kTag] = 0;  // empty, and owning nothing
    }
    Text& operator=(Text other) noexcept {
        std::swap(bytes_, other.bytes_);
        return *this;
    }
    ~Text() {
        if (bytes_[kTag] == kOnHeap) delete[] block();
    }

    std::string_view view() const noexcept {
        if (bytes_[kTag] != kOnHeap) return {reinterpret_cast<const char*>(bytes_), bytes_[kTag]};
        std::size_t size;
        std::memcpy(&size, bytes_ + sizeof(char*), sizeof size);
        return {block(), size};
    }
    operator std::string_view() const noexcept { return view(); }

private:
    static constexpr std::size_t kInline = 23;
    static constexpr std::size_t kTag = 23;  // the inline length, or kOnHeap
    static constexpr unsigned char kOnHeap = 0xFF;

    char* block() const noexcept {
        char* p;
        std::memcpy(&p, bytes_, sizeof p);
        return p;
    }

    alignas(8) unsigned char bytes_[24];
};

struct TextHash {
    static constexpr bool kSpreads = true;  // bytes::hash ends in a full multiplication
    std::size_t operator()(std::string_view s) const noexcept { return static_cast<std::size_t>(bytes::hash(s)); }
};
template <>
struct KeyHash<std::string> : TextHash {};
template <>
struct KeyHash<Text> : TextHash {};

// Key equality; strings compare as views.
template <class K, class Q>
bool same_key(const K& stored, const Q& key) {
    if constexpr (std::is_same_v<K, std::string> || std::is_same_v<K, Text>) {
        return bytes::equal(std::string_view(stored), std::string_view(key));
    } else {
        return std::equal_to<>{}(stored, key);
    }
}

template <class K, class V>
struct OrderedEntry {
    K first;
    [[no_unique_address]] V second;
};

template <class K, class V, class Hash = KeyHash<K>>
class OrderedMap {
public:
    using Entry = OrderedEntry<K, V>;

private:
    static_assert(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V>,
                  "slots are moved when the array grows");

    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    static constexpr std::uint64_t kEmptyCell = ~std::uint64_t{0};
    // Slots and cells are numbered in 32 bits, kNone kept apart; at most 3/4
    // full, 2^30 entries take 2^31 cells, the most such a number can count.
    static constexpr std::uint32_t kMaxSize = std::uint32_t{1} << 30;
    // The first insertion makes room for a few entries (a room's stores
    // mostly hold a handful), doubling from there; an empty map holds nothing.
    static constexpr std::uint32_t kFirstSlots = 4;
    // Twice the first slots, so that those fit below the largest load.
    static constexpr std::uint32_t kFirstCells = 2 * kFirstSlots;
    // The table is grown before it is more than 3/4 full: with linear
    // probing a lookup then reads about 2.5 cells on average when the key is
    // present and 8.5 when it is absent (Knuth's estimates for a random hash),
    // and right after doubling the table is at most 3/8 full.
    static constexpr std::uint32_t kLoadNumerator = 3;
    static constexpr std::uint32_t kLoadDenominator = 4;

    struct Slot {
        alignas(Entry) unsigned char bytes[sizeof(Entry)];
        std::uint32_t prev;
        std::uint32_t next;  // also the free-list link of a free slot

        Entry& entry() noexcept { return *std::launder(reinterpret_cast<Entry*>(bytes)); }
        const Entry& entry() const noexcept { return *std::launder(reinterpret_cast<const Entry*>(bytes)); }
    };

    template <bool Const>
    class Iter {
        using Owner = std::conditional_t<Const, const OrderedMap, OrderedMap>;

    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using reference = std::conditional_t<Const, const Entry&, Entry&>;
        using pointer = std::conditional_t<Const, const Entry*, Entry*>;

        Iter() = default;
        Iter(Owner* owner, std::uint32_t index) noexcept : owner_(owner), index_(index) {}
        operator Iter<true>() const noexcept
            requires(!Const)
        {
            return {owner_, index_};
        }

        reference operator*() const noexcept { return owner_->slots_[index_].entry(); }
        pointer operator->() const noexcept { return &owner_->slots_[index_].entry(); }
        Iter& operator++() noexcept {
            index_ = owner_->slots_[index_].next;
            return *this;
        }
        Iter operator++(int) noexcept {
            Iter before = *this;
            ++*this;
            return before;
        }
        bool operator==(const Iter& other) const noexcept { return index_ == other.index_; }

    private:
        Owner* owner_ = nullptr;
        std::uint32_t index_ = kNone;
    };

public:
    using iterator = Iter<false>;
    using const_iterator = Iter<true>;

    // A present entry's place, to act on the entry again without hashing its
    // key. Any change to the map may move entries, so a handle is good until
    // the next change, except as the hint of locate(key, hint), which checks it.
    class Handle {
    public:
        Handle() noexcept = default;
        explicit operator bool() const noexcept { return cell_ != kNone; }

    private:
        friend class OrderedMap;
        Handle(std::uint32_t cell, std::uint32_t slot) noexcept : cell_(cell), slot_(slot) {}
        std::uint32_t cell_ = kNone;  // the table position, which erasing needs
        std::uint32_t slot_ = kNone;  // the slot it names, which holds the entry
    };

    OrderedMap() noexcept = default;
    // A map that never holds more than `most` entries at once grows its
    // slots up to that many, not to the next doubling past it.
    explicit OrderedMap(std::uint64_t most) noexcept : most_(most < kMaxSize ? static_cast<std::uint32_t>(most) : kMaxSize) {}
    OrderedMap(const OrderedMap& other) : most_(other.most_) {
        for (const Entry& e : other) insert_back(e.first, e.second);
    }
    OrderedMap& operator=(const OrderedMap& other) {
        if (this != &other) {
            OrderedMap copy(other);
            swap(copy);
        }
        return *this;
    }
    OrderedMap(OrderedMap&& other) noexcept { swap(other); }
    OrderedMap& operator=(OrderedMap&& other) noexcept {
        if (this != &other) {
            clear();
            swap(other);
        }
        return *this;
    }
    ~OrderedMap() { clear(); }

    void swap(OrderedMap& other) noexcept {
        std::swap(slots_, other.slots_);
        std::swap(cells_, other.cells_);
        std::swap(slot_capacity_, other.slot_capacity_);
        std::swap(slots_used_, other.slots_used_);
        std::swap(free_, other.free_);
        std::swap(cell_mask_, other.cell_mask_);
        std::swap(cell_shift_, other.cell_shift_);
        std::swap(size_, other.size_);
        std::swap(head_, other.head_);
        std::swap(tail_, other.tail_);
        std::swap(most_, other.most_);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // The hash of `key` in this map. Every operation on a key takes it as
    // an optional last argument, `h`, for a caller that looks one key up in
    // several maps of one key type, or several times; without it an empty
    // map hashes nothing.
    template <class Q>
    ORVU_ALWAYS_INLINE static std::uint64_t hash(const Q& key) {
        return static_cast<std::uint64_t>(Hash{}(key));
    }

    template <class Q, std::same_as<std::uint64_t>... H>
    ORVU_ALWAYS_INLINE bool contains(const Q& key, H... h) const {
        return lookup(key, h...) != kNone;
    }

    template <class Q, std::same_as<std::uint64_t>... H>
    ORVU_ALWAYS_INLINE V* find(const Q& key, H... h) {
        std::uint32_t pos = lookup(key, h...);
        return pos == kNone ? nullptr : &slot_at(pos).entry().second;
    }
    template <class Q, std::same_as<std::uint64_t>... H>
    ORVU_ALWAYS_INLINE const V* find(const Q& key, H... h) const {
        std::uint32_t pos = lookup(key, h...);
        return pos == kNone ? nullptr : &slot_at(pos).entry().second;
    }

    // Appends a new entry; an existing key keeps its value and place (returns false).
    // If it throws, nothing changed.
    template <class Q, std::same_as<std::uint64_t>... H>
    ORVU_ALWAYS_INLINE bool insert_back(Q&& key, V value, H... h) {
        return try_insert_back(std::forward<Q>(key), std::move(value), h...).second;
    }

    // As insert_back, also giving the value stored under the key (new or existing).
    template <class Q, std::same_as<std::uint64_t>... H>
    ORVU_ALWAYS_INLINE std::pair<V*, bool> try_insert_back(Q&& key, V value, H... h) {
        const std::uint32_t frag = fragment(hash_or(key, h...));
        const Probe at = probe(key, frag);
        if (at.found != kNone) return {&slot_at(at.found).entry().second, false};
        const std::uint32_t index = append(std::forward<Q>(key), std::move(value), frag, at.free);
        return {&slots_[index].entry().second, true};
    }

    // Moves the key to the newest position, appending it when absent; true when appended.
    template <class Q, std::same_as<std::uint64_t>... H>
    ORVU_ALWAYS_INLINE bool touch_back(Q&& key, V value, H... h) {
        const std::uint32_t frag = fragment(hash_or(key, h...));
        const Probe at = probe(key, frag);
        if (at.found != kNone) {
            to_back(slot_index(cells_[at.found]));
            return false;
        }
        append(std::forward<Q>(key), std::move(value), frag, at.free);
        return true;
    }

    // Sets the value; a new key is appended, an existing one keeps its place.
    template <class Q>
    void set(Q&& key, V value) {
        if (V* existing = find(key)) {
            *existing = std::move(value);
        } else {
            insert_back(std::forward<Q>(key), std::move(value));
        }
    }

    // Moves an existing entry to the newest position; false when absent.
    template <class Q, std::same_as<std::uint64_t>... H>
    ORVU_ALWAYS_INLINE bool move_to_back(const Q& key, H... h) {
        std::uint32_t pos = lookup(key, h...);
        if (pos == kNone) return false;
        to_back(slot_index(cells_[pos]));
        return true;
    }

    // The handle of a present key; a false one when absent, which insert_at
    // takes to add the key without looking for it again.
    template <class Q, std::same_as<std::uint64_t>... H>
    ORVU_ALWAYS_INLINE Handle locate(const Q& key, H... h) const {
        if (size_ == 0) return {};
        const Probe at = probe(key, fragment(hash_or(key, h...)));
        return at.found != kNone ? Handle(at.found, at.slot) : Handle(kNone, at.free);
    }
    // Appends `key`, found absent by locate(key, h) with no change to the map since.
    template <class Q>
    ORVU_ALWAYS_INLINE V& insert_at(Handle absent, Q&& key, std::uint64_t h, V value) {
        // A false handle keeps in its slot field the empty cell where the probe ended.
        const std::uint32_t index = append(std::forward<Q>(key), std::move(value), fragment(h), absent.slot_);
        return slots_[index].entry().second;
    }
    // The same, trying `hint` first without hashing: any handle of this map,
    // however old, since the entry it names now (if any) is compared with `key`.
    template <class Q>
    ORVU_ALWAYS_INLINE Handle locate(const Q& key, Handle hint) const {
        return still_holds(hint, key) ? hint : locate(key);
    }
    // Acting on the entry of a handle that is good (true, and no change since).
    ORVU_ALWAYS_INLINE V& value(Handle at) noexcept { return slots_[at.slot_].entry().second; }
    ORVU_ALWAYS_INLINE const V& value(Handle at) const noexcept { return slots_[at.slot_].entry().second; }
    ORVU_ALWAYS_INLINE void erase(Handle at) noexcept { erase_at(at.cell_); }
    ORVU_ALWAYS_INLINE void move_to_back(Handle at) noexcept { to_back(at.slot_); }

    template <class Q, std::same_as<std::uint64_t>... H>
    ORVU_ALWAYS_INLINE bool erase(const Q& key, H... h) {
        std::uint32_t pos = lookup(key, h...);
        if (pos == kNone) return false;
        erase_at(pos);
        return true;
    }

    // Removes and returns the oldest entry.
    std::optional<Entry> pop_front() {
        if (size_ == 0) return std::nullopt;
        const std::uint32_t pos = cell_of(head_);  // found by the key, so before it is moved out
        std::optional<Entry> oldest(std::move(slots_[head_].entry()));
        erase_at(pos);
        return oldest;
    }

    // Removes the oldest entry, if any, without handing it out.
    ORVU_ALWAYS_INLINE void drop_front() noexcept {
        if (size_ != 0) erase_at(cell_of(head_));
    }

    const Entry* front() const noexcept { return size_ == 0 ? nullptr : &slots_[head_].entry(); }

    // Drops every entry and gives the storage back.
    void clear() noexcept {
        for (std::uint32_t i = head_; i != kNone; i = slots_[i].next) slots_[i].entry().~Entry();
        slots_.reset();
        cells_.reset();
        slot_capacity_ = slots_used_ = size_ = 0;
        cell_mask_ = 0;
        cell_shift_ = 0;
        free_ = head_ = tail_ = kNone;
    }

    iterator begin() noexcept { return {this, head_}; }
    iterator end() noexcept { return {this, kNone}; }
    const_iterator begin() const noexcept { return {this, head_}; }
    const_iterator end() const noexcept { return {this, kNone}; }

private:
    ORVU_ALWAYS_INLINE static std::uint32_t fragment(std::uint64_t h) noexcept {
        // The top bits pick the home cell. A weak hash (std::hash of an
        // integer is the integer) is spread by a multiplication first.
        if constexpr (!kSpreadHash<Hash>) h *= 0x9E3779B97F4A7C15ULL;
        return static_cast<std::uint32_t>(h >> 32);
    }

    ORVU_ALWAYS_INLINE std::uint32_t home(std::uint32_t frag) const noexcept { return frag >> cell_shift_; }
    ORVU_ALWAYS_INLINE static std::uint32_t slot_index(std::uint64_t cell) noexcept {
        return static_cast<std::uint32_t>(cell);
    }
    ORVU_ALWAYS_INLINE Slot& slot_at(std::uint32_t pos) const noexcept { return slots_[slot_index(cells_[pos])]; }

    // The table position holding `key`, or kNone; an empty map hashes nothing.
    template <class Q>
    ORVU_ALWAYS_INLINE static std::uint64_t hash_or(const Q& key) {
        return hash(key);
    }
    template <class Q>
    ORVU_ALWAYS_INLINE static std::uint64_t hash_or(const Q&, std::uint64_t h) {
        return h;
    }
    template <class Q, class... H>
    ORVU_ALWAYS_INLINE std::uint32_t lookup(const Q& key, H... h) const {
        return size_ == 0 ? kNone : probe(key, fragment(hash_or(key, h...))).found;
    }

    // Stores a new entry at the newest end and returns its slot; `key` must be
    // absent, and `free` the empty cell its probe ended at (kNone: unknown).
    // All allocation comes first, so a throw leaves the map as it was.
    template <class Q>
    ORVU_ALWAYS_INLINE std::uint32_t append(Q&& key, V value, std::uint32_t frag, std::uint32_t free) {
        if (reserve_one()) free = kNone;  // the table was rebuilt
        const std::uint32_t index = take_slot();
        try {
            ::new (static_cast<void*>(slots_[index].bytes)) Entry{K(std::forward<Q>(key)), std::move(value)};
        } catch (...) {
            release_slot(index);
            throw;
        }
        link_back(index);
        if (free == kNone) {
            place_cell(frag, index);
        } else {
            cells_[free] = make_cell(frag, index);
        }
        ++size_;
        return index;
    }

    ORVU_ALWAYS_INLINE void to_back(std::uint32_t index) noexcept {
        if (index == tail_) return;
        unlink(index);
        link_back(index);
    }

    // Where `key` is (`found`), or else the empty cell its probe ended at,
    // where it would go (`free`; kNone while there is no table).
    struct Probe {
        std::uint32_t found = kNone;
        std::uint32_t free = kNone;
        std::uint32_t slot = kNone;  // the slot of `found`
    };
    template <class Q>
    ORVU_ALWAYS_INLINE Probe probe(const Q& key, std::uint32_t frag) const {
        if (!cells_) return {};
        for (std::uint32_t pos = home(frag);; pos = (pos + 1) & cell_mask_) {
            const std::uint64_t cell = cells_[pos];
            if (cell == kEmptyCell) return {kNone, pos};
            if (static_cast<std::uint32_t>(cell >> 32) == frag &&
                same_key(slots_[slot_index(cell)].entry().first, key)) {
                return {pos, kNone, slot_index(cell)};
            }
        }
    }

    // Whether a handle from any time is good now and names the entry of `key`:
    // its cell still points at its slot (so the slot is live) and the key there is `key`.
    template <class Q>
    ORVU_ALWAYS_INLINE bool still_holds(Handle at, const Q& key) const {
        // (An empty cell names no slot: its index reads as kNone.)
        return at.cell_ <= cell_mask_ && cells_ && slot_index(cells_[at.cell_]) == at.slot_ &&
               same_key(slots_[at.slot_].entry().first, key);
    }

    // The table position of a live slot.
    ORVU_ALWAYS_INLINE std::uint32_t cell_of(std::uint32_t index) const noexcept {
        for (std::uint32_t pos = home(fragment(hash(slots_[index].entry().first)));; pos = (pos + 1) & cell_mask_) {
            if (slot_index(cells_[pos]) == index) return pos;
        }
    }

    // Makes room for one more entry; all allocation happens here, before
    // anything changes. True when the table was rebuilt (cells moved).
    ORVU_ALWAYS_INLINE bool reserve_one() {
        if (size_ >= kMaxSize) throw std::bad_alloc();
        const std::uint32_t cells = cells_ ? cell_mask_ + 1 : 0;
        const bool rebuild = std::uint64_t{size_ + 1} * kLoadDenominator > std::uint64_t{cells} * kLoadNumerator;
        if (rebuild) grow_cells(cells ? cells * 2 : kFirstCells);
        if (free_ == kNone && slots_used_ == slot_capacity_) {
            const std::uint32_t doubled = slot_capacity_ ? slot_capacity_ * 2 : kFirstSlots;
            grow_slots(std::max(slot_capacity_ + 1, std::min(doubled, most_)));
        }
        return rebuild;
    }

    void grow_cells(std::uint32_t count) {
        std::unique_ptr<std::uint64_t[]> cells(new std::uint64_t[count]);
        for (std::uint32_t i = 0; i < count; ++i) cells[i] = kEmptyCell;
        std::uint32_t bits = 0;
        while ((std::uint32_t{1} << bits) < count) ++bits;
        const std::uint32_t mask = count - 1;
        const std::uint32_t shift = 32 - bits;
        if (cells_) {
            for (std::uint32_t i = 0; i <= cell_mask_; ++i) {
                const std::uint64_t cell = cells_[i];
                if (cell == kEmptyCell) continue;
                std::uint32_t pos = static_cast<std::uint32_t>(cell >> 32) >> shift;
                while (cells[pos] != kEmptyCell) pos = (pos + 1) & mask;
                cells[pos] = cell;
            }
        }
        cells_ = std::move(cells);
        cell_mask_ = mask;
        cell_shift_ = shift;
    }

    // Only called when every slot is live.
    void grow_slots(std::uint32_t count) {
        std::unique_ptr<Slot[]> slots(new Slot[count]);
        for (std::uint32_t i = 0; i < slots_used_; ++i) {
            Entry& old = slots_[i].entry();
            ::new (static_cast<void*>(slots[i].bytes)) Entry(std::move(old));
            old.~Entry();
            slots[i].prev = slots_[i].prev;
            slots[i].next = slots_[i].next;
        }
        slots_ = std::move(slots);
        slot_capacity_ = count;
    }

    ORVU_ALWAYS_INLINE std::uint32_t take_slot() noexcept {
        if (free_ == kNone) return slots_used_++;
        const std::uint32_t index = free_;
        free_ = slots_[index].next;
        return index;
    }

    ORVU_ALWAYS_INLINE void release_slot(std::uint32_t index) noexcept {
        slots_[index].next = free_;
        free_ = index;
    }

    ORVU_ALWAYS_INLINE void link_back(std::uint32_t index) noexcept {
        slots_[index].prev = tail_;
        slots_[index].next = kNone;
        if (tail_ == kNone) {
            head_ = index;
        } else {
            slots_[tail_].next = index;
        }
        tail_ = index;
    }

    ORVU_ALWAYS_INLINE void unlink(std::uint32_t index) noexcept {
        const std::uint32_t prev = slots_[index].prev;
        const std::uint32_t next = slots_[index].next;
        (prev == kNone ? head_ : slots_[prev].next) = next;
        (next == kNone ? tail_ : slots_[next].prev) = prev;
    }

    ORVU_ALWAYS_INLINE static std::uint64_t make_cell(std::uint32_t frag, std::uint32_t index) noexcept {
        return (std::uint64_t{frag} << 32) | index;
    }

    ORVU_ALWAYS_INLINE void place_cell(std::uint32_t frag, std::uint32_t index) noexcept {
        std::uint32_t pos = home(frag);
        while (cells_[pos] != kEmptyCell) pos = (pos + 1) & cell_mask_;
        cells_[pos] = make_cell(frag, index);
    }

    ORVU_ALWAYS_INLINE void erase_at(std::uint32_t pos) noexcept {
        const std::uint32_t index = slot_index(cells_[pos]);
        unlink(index);
        slots_[index].entry().~Entry();
        release_slot(index);
        --size_;
        // Backward shift: pull later cells of the probe run into the hole when
        // their home position allows it, so that no lookup stops early.
        std::uint32_t hole = pos;
        for (std::uint32_t j = (pos + 1) & cell_mask_;; j = (j + 1) & cell_mask_) {
            const std::uint64_t cell = cells_[j];
            if (cell == kEmptyCell) break;
            const std::uint32_t from_home = (j - home(static_cast<std::uint32_t>(cell >> 32))) & cell_mask_;
            if (from_home >= ((j - hole) & cell_mask_)) {
                cells_[hole] = cell;
                hole = j;
            }
        }
        cells_[hole] = kEmptyCell;
    }

    std::unique_ptr<Slot[]> slots_;
    std::unique_ptr<std::uint64_t[]> cells_;
    std::uint32_t slot_capacity_ = 0;
    std::uint32_t slots_used_ = 0;  // slots ever handed out; those below it are live or free
    std::uint32_t free_ = kNone;
    std::uint32_t cell_mask_ = 0;
    std::uint32_t cell_shift_ = 0;
    std::uint32_t size_ = 0;
    std::uint32_t head_ = kNone;
    std::uint32_t tail_ = kNone;
    std::uint32_t most_ = kMaxSize;  // the most entries held at once
};

struct Unit {};

// The map's keys alone (with the key's hash as an optional last argument, as there).
template <class K, class Hash = KeyHash<K>>
class OrderedSet {
public:
    OrderedSet() noexcept = default;
    explicit OrderedSet(std::uint64_t most) noexcept : map_(most) {}
    std::size_t size() const noexcept { return map_.size(); }
    bool empty() const noexcept { return map_.empty(); }
    template <class Q, class... H>
    ORVU_ALWAYS_INLINE bool contains(const Q& key, H... h) const {
        return map_.contains(key, h...);
    }
    template <class Q, class... H>
    ORVU_ALWAYS_INLINE bool insert_back(Q&& key, H... h) {
        return map_.insert_back(std::forward<Q>(key), Unit{}, h...);
    }
    template <class Q, class... H>
    ORVU_ALWAYS_INLINE bool move_to_back(const Q& key, H... h) {
        return map_.move_to_back(key, h...);
    }
    // Moves the key to the newest position, appending it when absent; true when appended.
    template <class Q, class... H>
    ORVU_ALWAYS_INLINE bool touch_back(Q&& key, H... h) {
        return map_.touch_back(std::forward<Q>(key), Unit{}, h...);
    }
    template <class Q, class... H>
    ORVU_ALWAYS_INLINE bool erase(const Q& key, H... h) {
        return map_.erase(key, h...);
    }
    std::optional<K> pop_front() {
        auto e = map_.pop_front();
        if (!e) return std::nullopt;
        return std::move(e->first);
    }
    ORVU_ALWAYS_INLINE void drop_front() noexcept { map_.drop_front(); }
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
