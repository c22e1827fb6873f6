// Replaces the core's per-process key (bytes.cpp, left out of fuzz builds).
#include "fixed_key.hpp"

#include "core/bytes.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

namespace orvu::core::bytes {
const HashKey kHashKey = {0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL, 0xA4093822299F31D0ULL};
}

namespace orvu::fuzz {

const std::vector<std::string>& colliding_keys() {
    static const std::vector<std::string> keys = [] {
        constexpr std::uint32_t kCandidates = 1u << 20;
        std::vector<std::pair<std::uint64_t, std::uint32_t>> hashed;
        hashed.reserve(kCandidates);
        for (std::uint32_t n = 0; n < kCandidates; ++n) {
            hashed.emplace_back(core::bytes::hash("k" + std::to_string(n)), n);
        }
        std::sort(hashed.begin(), hashed.end());
        std::vector<std::string> out;
        // Equal upper 32 bits: the tables cannot tell these apart without comparing keys.
        for (std::size_t k = 1; k < hashed.size() && out.size() < 16; ++k) {
            if ((hashed[k].first >> 32) == (hashed[k - 1].first >> 32)) {
                out.push_back("k" + std::to_string(hashed[k - 1].second));
                out.push_back("k" + std::to_string(hashed[k].second));
            }
        }
        // Equal upper 12 bits: one long probe run in any table up to 4096 cells.
        const std::uint64_t top = hashed.front().first >> 52;
        for (std::size_t k = 0; k < hashed.size() && (hashed[k].first >> 52) == top && out.size() < 48; ++k) {
            out.push_back("k" + std::to_string(hashed[k].second));
        }
        return out;
    }();
    return keys;
}

}  // namespace orvu::fuzz
