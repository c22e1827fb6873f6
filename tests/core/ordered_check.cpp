// Random operation sequences on the insertion-ordered map and set, checked
// after every operation against a plain model (a vector in insertion order).
// Run with one case name: "default_hash" or "colliding_hash" (a hash with
// only a few values, so probe runs are long and erasing has to shift cells).
// Prints each failed expectation and exits non-zero if any failed.
#include "core/ordered.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace orvu::core;

static int failures = 0;
#define EXPECT(cond)                                                                   \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            std::printf("%s:%d: step %d: expected %s\n", __FILE__, __LINE__, step, #cond); \
            if (++failures > 20) std::exit(1);                                         \
        }                                                                              \
    } while (0)

static int step = 0;

struct CollidingHash {
    std::size_t operator()(std::string_view s) const noexcept { return s.empty() ? 0 : s.back() % 3; }
};

using Model = std::vector<std::pair<std::string, int>>;

static Model::iterator find_in(Model& model, const std::string& key) {
    return std::find_if(model.begin(), model.end(), [&](const auto& e) { return e.first == key; });
}

template <class Map>
static void check_same(const Map& map, const Model& model, const std::vector<std::string>& keys) {
    EXPECT(map.size() == model.size());
    EXPECT(map.empty() == model.empty());
    std::size_t i = 0;
    bool order_ok = true;
    for (const auto& [key, value] : map) {
        order_ok = order_ok && i < model.size() && model[i].first == key && model[i].second == value;
        ++i;
    }
    EXPECT(order_ok && i == model.size());
    EXPECT(model.empty() ? map.front() == nullptr : map.front() && map.front()->first == model.front().first);
    for (const std::string& key : keys) {
        auto it = std::find_if(model.begin(), model.end(), [&](const auto& e) { return e.first == key; });
        const int* found = map.find(std::string_view(key));  // looked up without a std::string
        EXPECT((found != nullptr) == (it != model.end()));
        EXPECT(!found || *found == it->second);
    }
}

template <class Hash>
static void run(unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::string> keys;
    for (int i = 0; i < 300; ++i) keys.push_back("key-" + std::to_string(i * 7919 % 1000));
    using Map = OrderedMap<std::string, int, Hash>;
    Map map;
    Model model;
    // A handle kept across steps: as a hint it may name any entry or none by now.
    typename Map::Handle remembered;
    auto pick = [&] { return keys[rng() % keys.size()]; };
    for (step = 0; step < 60000; ++step) {
        // Phases of growth and shrinkage so that the tables grow and slots are reused.
        const bool growing = (step / 5000) % 2 == 0;
        const std::string key = pick();
        switch (rng() % 8) {
            case 0:
            case 1: {
                // Inserted directly, or where a lookup with the key's hash found it absent.
                const std::uint64_t h = Map::hash(key);
                const auto at = map.locate(std::string_view(key), h);
                auto [stored, added] = rng() % 2 ? map.try_insert_back(key, step, h)
                                   : at       ? std::pair(&map.value(at), false)
                                              : std::pair(&map.insert_at(at, key, h, step), true);
                auto it = find_in(model, key);
                EXPECT(added == (it == model.end()));
                EXPECT(stored && *stored == (it == model.end() ? step : it->second));
                if (added) model.emplace_back(key, step);
                break;
            }
            case 2: {
                if (rng() % 2) {
                    // Appends when absent, else moves to the newest end and keeps the value.
                    const bool added = map.touch_back(key, step);
                    auto it = find_in(model, key);
                    EXPECT(added == (it == model.end()));
                    if (it == model.end()) {
                        model.emplace_back(key, step);
                    } else {
                        std::rotate(it, it + 1, model.end());
                    }
                    break;
                }
                map.set(std::string_view(key), -step);
                auto it = find_in(model, key);
                if (it == model.end()) {
                    model.emplace_back(key, -step);
                } else {
                    it->second = -step;
                }
                break;
            }
            case 3: {
                bool moved = false;
                if (rng() % 2) {
                    moved = map.move_to_back(key);
                } else if (const auto at = map.locate(std::string_view(key))) {
                    map.move_to_back(at);
                    moved = true;
                }
                auto it = find_in(model, key);
                EXPECT(moved == (it != model.end()));
                if (it != model.end()) std::rotate(it, it + 1, model.end());
                break;
            }
            case 4:
            case 5: {
                if (growing && rng() % 2) break;
                bool erased = false;
                if (rng() % 2) {
                    erased = map.erase(std::string_view(key));
                } else if (const auto at = map.locate(key, remembered)) {
                    map.erase(at);
                    erased = true;
                }
                auto it = find_in(model, key);
                EXPECT(erased == (it != model.end()));
                if (it != model.end()) model.erase(it);
                break;
            }
            case 6: {
                if (growing) break;
                auto oldest = map.pop_front();
                EXPECT(oldest.has_value() == !model.empty());
                if (oldest && !model.empty()) {
                    EXPECT(oldest->first == model.front().first && oldest->second == model.front().second);
                    model.erase(model.begin());
                }
                break;
            }
            case 7: {
                if (rng() % 500 == 0) {
                    map.clear();
                    model.clear();
                } else if (rng() % 50 == 0) {
                    // Copies and moves keep order and contents, and leave the source usable.
                    OrderedMap<std::string, int, Hash> copy(map);
                    OrderedMap<std::string, int, Hash> moved(std::move(copy));
                    EXPECT(copy.empty() && copy.front() == nullptr);
                    map = moved;
                }
                break;
            }
        }
        check_same(map, model, {key, pick(), "absent"});
        // A stale hint never finds the wrong entry, nor misses the right one.
        const std::string probe = pick();
        const auto hinted = map.locate(std::string_view(probe), remembered);
        auto it = find_in(model, probe);
        EXPECT(static_cast<bool>(hinted) == (it != model.end()));
        if (hinted && it != model.end()) EXPECT(map.value(hinted) == it->second);
        if (rng() % 16 == 0) remembered = map.locate(pick());
    }
}

static void set_order() {
    OrderedSet<std::string> set;
    for (const char* k : {"c", "a", "b"}) set.insert_back(std::string(k));
    EXPECT(!set.insert_back(std::string("a")));
    EXPECT(set.move_to_back(std::string_view("c")) && set.contains(std::string_view("c")));
    std::string seen;
    set.for_each([&](const std::string& k) { seen += k; });
    EXPECT(seen == "abc");
    EXPECT(set.pop_front() == std::optional<std::string>("a") && set.size() == 2 && *set.front() == "b");
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    if (std::strcmp(argv[1], "default_hash") == 0) {
        run<KeyHash<std::string>>(1);
        set_order();
    } else if (std::strcmp(argv[1], "colliding_hash") == 0) {
        run<CollidingHash>(2);
    } else {
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
