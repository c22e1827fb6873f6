// Byte strings as the short ids and keys of this library are (room,
// message and topic ids, payload keys): hashed, compared and ordered whole
// 8-byte words at a time, the last word overlapping, so that no call leaves
// the header and no library call costs more than the work.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#if defined(_MSC_VER) && defined(_M_X64)
#include <intrin.h>
#endif
#if defined(_MSC_VER)
#include <stdlib.h>
#endif

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
// Eight bytes as one big-endian number, which orders as the bytes do: one
// load and, on a little-endian machine, one byte swap.
inline std::uint64_t big_endian_word(const char* p) noexcept {
    const std::uint64_t v = load64(p);
    if constexpr (std::endian::native == std::endian::big) return v;
#if defined(_MSC_VER) && !defined(__clang__)
    return _byteswap_uint64(v);
#else
    return __builtin_bswap64(v);
#endif
}
// The same for the first eight bytes of `s`, zero-padded when it is shorter.
inline std::uint64_t big_endian_prefix(std::string_view s) noexcept {
    if (s.size() >= 8) return big_endian_word(s.data());
    char padded[8] = {};
    if (!s.empty()) std::memcpy(padded, s.data(), s.size());
    return big_endian_word(padded);
}

// The hash of the ids a peer chooses. Tables probe from the cell a key's
// hash picks, so with a hash anyone can work out, a peer could send ids that
// all pick one cell and make every insertion walk all the ids before it.
// The hash is therefore keyed with three words no peer can learn: the key is
// drawn once per process from the operating system's random source (see
// bytes.cpp for why there). The construction is the multiply-and-fold of
// the wyhash family with every constant taken from the key: each input word
// is combined with a key word before it is multiplied, so that the products,
// and with them the cells, cannot be steered without the key (the family's
// known shortcut, a factor made zero, needs an input word equal to a key
// word). Orders never depend on the hash: the tables keep insertion order.
struct HashKey {
    std::uint64_t seed;
    std::uint64_t first;
    std::uint64_t second;
};
// Set while the library is loaded, before any code of it runs (no table is
// built during static initialisation), so that reading it costs one load and
// no check on every hash.
extern const HashKey kHashKey;

// The 128-bit product of `a` and `b` as its low and high halves.
inline void wide_multiply(std::uint64_t& a, std::uint64_t& b) noexcept {
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    a = static_cast<std::uint64_t>(product);
    b = static_cast<std::uint64_t>(product >> 64);
#elif defined(_MSC_VER) && defined(_M_X64)
    a = _umul128(a, b, &b);
#else
    const std::uint64_t a_low = a & 0xFFFFFFFFu, a_high = a >> 32, b_low = b & 0xFFFFFFFFu, b_high = b >> 32;
    const std::uint64_t low = a_low * b_low, cross1 = a_high * b_low, cross2 = a_low * b_high;
    const std::uint64_t middle = (low >> 32) + (cross1 & 0xFFFFFFFFu) + cross2;
    a = (middle << 32) | (low & 0xFFFFFFFFu);
    b = a_high * b_high + (cross1 >> 32) + (middle >> 32);
#endif
}
// The two halves of the product folded into one word.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
    wide_multiply(a, b);
    return a ^ b;
}

inline std::uint64_t hash(std::string_view s) noexcept {
    const HashKey& key = kHashKey;
    const char* p = s.data();
    const std::size_t n = s.size();
    // Two words that together hold every byte (with the length, they tell
    // any two strings apart): whole, overlapping, or the bytes themselves.
    std::uint64_t state = key.seed;
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (n > 16) {
        for (std::size_t i = 0; i + 16 < n; i += 16) {
            state = fold_multiply(load64(p + i) ^ key.first, load64(p + i + 8) ^ state);
        }
        a = load64(p + n - 16);
        b = load64(p + n - 8);
    } else if (n >= 8) {
        a = load64(p);
        b = load64(p + n - 8);
    } else if (n >= 4) {
        a = load32(p);
        b = load32(p + n - 4);
    } else if (n > 0) {
        const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
        a = byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16);
    }
    a ^= key.first;
    b ^= state;
    wide_multiply(a, b);
    return fold_multiply(a ^ key.seed ^ n, b ^ key.second);
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
