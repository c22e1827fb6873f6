// Small working storage and sorting for the few members of one object.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace orvu::core {

// Objects of up to this many members are put in key order by insertion
// sort, larger ones by the library's sort. A message payload's objects have
// at most ten members, so they all take the short way; past a few dozen,
// insertion's quadratic moves outgrow the library sort's own setup.
inline constexpr std::size_t kInsertionSortMembers = 32;

// Scratch space for `n` items: on the stack up to N, else on the heap.
template <class T, std::size_t N>
class Scratch {
public:
    explicit Scratch(std::size_t n) : large_(n > N ? n : 0), items_(n > N ? large_.data() : small_.data(), n) {}
    std::span<T> items() noexcept { return items_; }

private:
    std::array<T, N> small_;
    std::vector<T> large_;
    std::span<T> items_;
};

// A stack of items that lives on the C stack while it holds at most N, and
// moves to the heap beyond: the working storage of one walk, which then
// allocates nothing for a usual payload.
template <class T, std::size_t N>
class InlineStack {
public:
    InlineStack() noexcept = default;
    InlineStack(const InlineStack&) = delete;
    InlineStack& operator=(const InlineStack&) = delete;
    ~InlineStack() { truncate(0); }

    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    std::span<T> from(std::size_t first) noexcept { return {data_ + first, size_ - first}; }

    template <class... Args>
    void emplace(Args&&... args) {
        if (size_ == capacity_) grow();
        ::new (static_cast<void*>(data_ + size_)) T{std::forward<Args>(args)...};
        ++size_;
    }
    // Ends the life of the items from `size` on.
    void truncate(std::size_t size) noexcept {
        for (std::size_t i = size; i < size_; ++i) data_[i].~T();
        if (size < size_) size_ = size;
    }

private:
    void grow() {
        const std::size_t capacity = 2 * capacity_;
        auto larger = std::make_unique<Slot[]>(capacity);
        T* moved = reinterpret_cast<T*>(larger.get());
        for (std::size_t i = 0; i < size_; ++i) {
            ::new (static_cast<void*>(moved + i)) T(std::move(data_[i]));
            data_[i].~T();
        }
        heap_ = std::move(larger);
        data_ = moved;
        capacity_ = capacity;
    }

    struct alignas(T) Slot {
        unsigned char bytes[sizeof(T)];
    };
    Slot inline_[N];
    std::unique_ptr<Slot[]> heap_;
    T* data_ = reinterpret_cast<T*>(inline_);
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
};

// Sorts the members of one object, stably (equal keys keep their order):
// insertion sort while they are few.
template <class T, class Less>
void sort_members(std::span<T> items, Less less) {
    if (items.size() > kInsertionSortMembers) return std::stable_sort(items.begin(), items.end(), less);
    for (std::size_t i = 1; i < items.size(); ++i) {
        T moving = items[i];
        std::size_t j = i;
        for (; j > 0 && less(moving, items[j - 1]); --j) items[j] = items[j - 1];
        items[j] = moving;
    }
}

}  // namespace orvu::core
