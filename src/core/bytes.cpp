#include "core/bytes.hpp"

#include <chrono>
#include <random>

namespace orvu::core::bytes {

namespace {

// The key is drawn here, by the core, once per process, when the library is
// loaded. std::random_device reads the operating system's random
// source (getrandom on Linux, getentropy or arc4random on the BSDs and
// macOS, rand_s on Windows), the same one the interpreter's hash secret and
// os.urandom come from. A key handed in by the binding instead would have to
// be in place before the first table exists, and every interpreter of the
// process initialises the module again while the tables of the others live
// on with the key they were built with: one key for the process, drawn
// below the binding, avoids both. Sub-interpreters and the limited API need
// nothing from it.
HashKey draw_hash_key() noexcept {
    try {
        std::random_device source;
        const auto word = [&] { return (std::uint64_t{source()} << 32) | source(); };
        const std::uint64_t seed = word();
        const std::uint64_t first = word();
        return {seed, first, word()};
    } catch (...) {
        // No random source could be opened (a sandbox without the device):
        // the clock and this process's address layout, still unknown to a
        // peer, though not to someone on the same machine.
        const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        const auto place = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&now));
        const auto code = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&draw_hash_key));
        const std::uint64_t seed = fold_multiply(now ^ 0x243F6A8885A308D3ULL, place ^ 0x13198A2E03707344ULL);
        const std::uint64_t first = fold_multiply(seed ^ 0xA4093822299F31D0ULL, code ^ 0x082EFA98EC4E6C89ULL);
        return {seed, first, fold_multiply(first ^ 0x452821E638D01377ULL, now ^ 0xBE5466CF34E90C6CULL)};
    }
}

}  // namespace

const HashKey kHashKey = draw_hash_key();

}  // namespace orvu::core::bytes
