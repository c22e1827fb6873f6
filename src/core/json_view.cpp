#include "core/json_view.hpp"

#include <algorithm>

namespace orvu::core {

void ViewNodes::grow(std::size_t count) {
    const std::size_t capacity = std::max(2 * capacity_, size_ + count);
    auto larger = std::make_unique_for_overwrite<unsigned char[]>(capacity * sizeof(JsonView));
    std::memcpy(larger.get(), static_cast<const void*>(data_), size_ * sizeof(JsonView));
    heap_ = std::move(larger);
    data_ = reinterpret_cast<JsonView*>(heap_.get());
    capacity_ = capacity;
}

ViewPaths::ViewPaths(const ViewNodes& nodes) : nodes_(nodes), parent_(nodes.size(), 0) {
    for (std::size_t p = 0; p < nodes.size(); ++p) {
        const JsonView& node = nodes[p];
        for (const JsonView& child : node.is_object() ? node.as_object() : node.as_array()) {
            parent_[nodes.index_of(&child)] = p;
        }
    }
}

std::vector<ViewStep> ViewPaths::to(std::size_t target) const {
    std::vector<ViewStep> steps;
    for (std::size_t n = target; n != 0; n = parent_[n]) {
        const JsonView& container = nodes_[parent_[n]];
        if (container.is_object()) {
            steps.push_back({n, true, nodes_[n].key(), 0});
        } else {
            steps.push_back({n, false, {}, n - nodes_.index_of(&container.as_array()[0])});
        }
    }
    std::reverse(steps.begin(), steps.end());
    return steps;
}

}  // namespace orvu::core
