// Small working storage and sorting for the few members of one object.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
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
