// Byte strings as the short ids and keys of this library are (room,
// message and topic ids, payload keys): hashed, compared and ordered whole
// 8-byte words at a time, the last word overlapping, so that no call leaves
// the header and no library call costs more than the work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace orvu::core {

namespace bytes {
inline std::uint64_t load64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline std::uint64_t load32(const char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
// Eight bytes as one big-endian number, which orders as the bytes do
// (compilers turn this into a load and a byte swap).
inline std::uint64_t big_endian_word(const char* p) noexcept {
    std::uint64_t w = 0;
    for (int k = 0; k < 8; ++k) w = (w << 8) | static_cast<unsigned char>(p[k]);
    return w;
}
// The same for the first eight bytes of `s`, zero-padded when it is shorter.
inline std::uint64_t big_endian_prefix(std::string_view s) noexcept {
    if (s.size() >= 8) return big_endian_word(s.data());
    std::uint64_t w = 0;
    for (std::size_t k = 0; k < s.size(); ++k) w |= std::uint64_t{static_cast<unsigned char>(s[k])} << (56 - 8 * k);
    return w;
}

inline std::uint64_t mix(std::uint64_t x) noexcept {
    x *= 0xBF58476D1CE4E5B9ULL;
    return x ^ (x >> 31);
}
inline std::uint64_t hash(std::string_view s) noexcept {
    const char* p = s.data();
    const std::size_t n = s.size();
    std::uint64_t h = mix(n ^ 0x9E3779B97F4A7C15ULL);
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8) h = mix(h ^ load64(p + i));
        return mix(h ^ load64(p + n - 8));
    }
    if (n >= 4) return mix(h ^ (load32(p) | (load32(p + n - 4) << 32)));
    if (n > 0) {
        const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
        return mix(h ^ (byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16)));
    }
    return h;
}
inline bool equal(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* x = a.data();
    const char* y = b.data();
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            if (load64(x + i) != load64(y + i)) return false;
        }
        return load64(x + n - 8) == load64(y + n - 8);
    }
    if (n >= 4) return load32(x) == load32(y) && load32(x + n - 4) == load32(y + n - 4);
    for (std::size_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) return false;
    }
    return true;
}
}  // namespace bytes

}  // namespace orvu::core
