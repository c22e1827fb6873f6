// The insertion-ordered store: random operations against a plain list that
// keeps insertion order by construction (append at the newest end, move to
// the newest end, drop from the oldest end), with keys that
// collide under the fixed hash key, short keys around the 4- and 8-byte word
// sizes, keys from the input, and bursts that make the tables grow.
#include "adapter.hpp"
#include "check.hpp"
#include "fixed_key.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <list>
#include <map>

namespace orvu::fuzz {
namespace {

// Entries in a linked list, oldest first, with an index from key to entry.
class Model {
public:
    using Entries = std::vector<std::pair<std::string, std::uint64_t>>;

    bool insert_back(const std::string& key, std::uint64_t value) {
        if (index_.count(key)) return false;
        append(key, value);
        return true;
    }
    bool touch_back(const std::string& key) {
        const bool added = !move_to_back(key);
        if (added) append(key, 0);
        return added;
    }
    void set(const std::string& key, std::uint64_t value) {
        auto it = index_.find(key);
        if (it == index_.end()) {
            append(key, value);
        } else {
            it->second->second = value;
        }
    }
    bool move_to_back(const std::string& key) {
        auto it = index_.find(key);
        if (it == index_.end()) return false;
        list_.splice(list_.end(), list_, it->second);
        return true;
    }
    bool erase(const std::string& key) {
        auto it = index_.find(key);
        if (it == index_.end()) return false;
        list_.erase(it->second);
        index_.erase(it);
        return true;
    }
    std::optional<std::uint64_t> find(const std::string& key) const {
        auto it = index_.find(key);
        if (it == index_.end()) return std::nullopt;
        return it->second->second;
    }
    std::optional<std::pair<std::string, std::uint64_t>> pop_front() {
        if (list_.empty()) return std::nullopt;
        auto oldest = list_.front();
        erase(oldest.first);
        return oldest;
    }
    std::optional<std::string> front() const {
        if (list_.empty()) return std::nullopt;
        return list_.front().first;
    }
    std::size_t size() const { return list_.size(); }
    Entries entries() const { return {list_.begin(), list_.end()}; }
    void clear() {
        list_.clear();
        index_.clear();
    }

private:
    void append(const std::string& key, std::uint64_t value) {
        list_.emplace_back(key, value);
        index_[key] = std::prev(list_.end());
    }
    std::list<std::pair<std::string, std::uint64_t>> list_;
    std::map<std::string, std::list<std::pair<std::string, std::uint64_t>>::iterator> index_;
};

const std::vector<std::string>& key_pool() {
    static const std::vector<std::string> pool = [] {
        std::vector<std::string> keys = colliding_keys();
        for (const char* k : {"", "a", "b", "abc", "abcd", "abcde", "abcdefg", "abcdefgh", "abcdefghi",
                              "abcdefghabcdefgh", "abcdefghabcdefghi", "abcdefghabcdefghabcdefghabcdefghX"}) {
            keys.emplace_back(k);
        }
        keys.push_back(std::string("a\0b", 3));
        return keys;
    }();
    return pool;
}

std::string pick_key(FuzzedDataProvider& in) {
    const auto& pool = key_pool();
    const std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, pool.size());
    return k < pool.size() ? pool[k] : in.ConsumeRandomLengthString(40);
}

}  // namespace
}  // namespace orvu::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orvu::fuzz;
    FuzzedDataProvider in(data, size);
    OrderedStore store;
    Model model;
    std::uint64_t burst = 0;
    for (int step = 0; step < 1024 && in.remaining_bytes() > 0; ++step) {
        const int op = in.ConsumeIntegralInRange(0, 11);
        switch (op) {
            case 0: {
                const std::string key = pick_key(in);
                const std::uint64_t value = in.ConsumeIntegral<std::uint8_t>();
                FUZZ_SAME(store.insert_back(key, value), model.insert_back(key, value), "insert_back ", key);
                break;
            }
            case 1: {
                const std::string key = pick_key(in);
                FUZZ_SAME(store.touch_back(key), model.touch_back(key), "touch_back ", key);
                break;
            }
            case 2: {
                const std::string key = pick_key(in);
                const std::uint64_t value = in.ConsumeIntegral<std::uint8_t>();
                store.set(key, value);
                model.set(key, value);
                break;
            }
            case 3: {
                const std::string key = pick_key(in);
                FUZZ_SAME(store.move_to_back(key), model.move_to_back(key), "move_to_back ", key);
                break;
            }
            case 4: {
                const std::string key = pick_key(in);
                FUZZ_SAME(store.erase(key), model.erase(key), "erase ", key);
                break;
            }
            case 5: {
                const std::string key = pick_key(in);
                FUZZ_SAME(store.find(key), model.find(key), "find ", key);
                break;
            }
            case 6: FUZZ_SAME(store.pop_front(), model.pop_front(), "pop_front"); break;
            case 7: FUZZ_SAME(store.front(), model.front(), "front"); break;
            case 8: {
                // A bounded store: insert, then evict the oldest while over the bound.
                const std::string key = pick_key(in);
                const std::size_t bound = in.ConsumeIntegralInRange<std::size_t>(1, 8);
                FUZZ_SAME(store.touch_back(key), model.touch_back(key), "touch_back ", key);
                while (model.size() > bound) {
                    FUZZ_SAME(store.pop_front(), model.pop_front(), "evicting to ", bound);
                }
                break;
            }
            case 9: {
                // A burst of new keys, so the tables grow (and erase across a grown table later).
                // (A few thousand entries at most: enough for tables of 4096 cells.)
                const std::size_t count = model.size() > 2400 ? 0 : in.ConsumeIntegralInRange<std::size_t>(1, 600);
                for (std::size_t k = 0; k < count; ++k) {
                    const std::string key = "g" + std::to_string(burst++);
                    FUZZ_SAME(store.insert_back(key, k), model.insert_back(key, k), "burst ", key);
                }
                break;
            }
            case 10: {
                // A copy, moved back in: the copy must hold the same entries in the same order.
                OrderedStore copy = store;
                store = std::move(copy);
                break;
            }
            default:
                if (in.ConsumeIntegralInRange(0, 15) == 0) {
                    store.clear();
                    model.clear();
                }
                break;
        }
        FUZZ_SAME(store.size(), model.size(), "size after op ", op);
        if (op == 10 || step % 64 == 0) FUZZ_SAME(store.entries(), model.entries(), "entries after op ", op);
    }
    FUZZ_SAME(store.entries(), model.entries(), "entries at the end");
    for (const auto& key : key_pool()) FUZZ_SAME(store.find(key), model.find(key), "find ", key);
    return 0;
}
