// Pending chat-mediated asks: a registry of tokens with tickets, claims and
// removals, oldest first. A ticket names one registration of a token, so a
// holder of an old ticket never acts on a newer registration that reused it.
#pragma once

#include "core/enums.hpp"
#include "core/numbers.hpp"
#include "core/ordered.hpp"
#include "core/saturating.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvu::core {

// The accepted bound of pending asks (none when not given) and generator seeds.
inline constexpr IntRange kMaxPendingRange{1, UINT32_MAX};
inline constexpr IntRange kSeedRange{0, UINT64_MAX};

// The seed drawn from eight random bytes, read little-endian.
std::uint64_t seed_from_bytes(const unsigned char (&bytes)[8]) noexcept;

// Who may answer an ask: anyone when there is no set of authorised senders;
// with a set, empty included, only its members.
constexpr bool is_authorized_sender(bool has_senders, bool is_member) noexcept { return !has_senders || is_member; }

// One step of the SplitMix64 generator: advances `state` and returns the output.
std::uint64_t splitmix64_next(std::uint64_t& state) noexcept;

// The token text of a generator output: its low 32 bits as exactly eight
// lowercase hexadecimal digits.
// The eight lowercase hex digits of the draw's low 32 bits.
struct TokenText {
    char digits[8];
    std::string_view view() const noexcept { return {digits, sizeof digits}; }
};
TokenText token_from_draw(std::uint64_t draw) noexcept;

// What a cancellation removed, each list oldest first.
struct CancelledDecisions {
    std::vector<std::string> unclaimed;
    std::vector<std::string> claimed;
};

class DecisionRegistry {
public:
    using Registration = std::pair<std::string, std::uint64_t>;

    DecisionRegistry(std::optional<std::uint32_t> max_pending, std::uint64_t seed) noexcept
        : rng_state_(seed), max_pending_(max_pending) {}

    std::optional<std::uint32_t> max_pending() const noexcept { return max_pending_; }

    // A minted registration: the token's fixed text and the ticket.
    using Minted = std::pair<TokenText, std::uint64_t>;
    // nullopt once the ticket counter is exhausted (nothing changes then).
    std::optional<Minted> register_minted(std::optional<std::string_view> room_id);
    // nullopt when `key` is claimed or the ticket counter is exhausted.
    std::optional<Registration> register_keyed(std::string_view key);

    ClaimOutcome try_claim(std::string_view token, std::uint64_t ticket);
    bool withdraw(std::string_view token, std::uint64_t ticket);
    bool forget(std::string_view token, std::uint64_t ticket);

    std::vector<std::string> unclaimed() const;
    std::vector<std::string> unclaimed_in_room(std::string_view room_id) const;
    std::size_t unclaimed_count() const noexcept { return unclaimed_.size(); }
    std::optional<std::string> oldest_unclaimed() const;

    std::optional<std::string> evict_oldest();
    CancelledDecisions cancel_all();
    CancelledDecisions cancel_room(std::string_view room_id);

    std::size_t size() const noexcept { return entries_.size(); }

private:
    struct Entry {
        std::optional<std::string> room_id;  // none for keyed asks
        std::uint64_t ticket = 0;
        bool claimed = false;
    };

    // The helpers take the token with its hash, worked out once for both stores.
    using Entries = OrderedMap<Text, Entry>;
    // The live entry of `token` when `ticket` names its current registration.
    Entry* live(std::string_view token, std::uint64_t hash, std::uint64_t ticket);
    void append(std::string_view token, std::uint64_t hash, Entry entry);
    // Adds a token just stored in `entries_` to the unclaimed set; if that
    // fails, the entry is taken out again.
    void unclaim(std::string_view token, std::uint64_t hash);
    void remove(std::string_view token, std::uint64_t hash);

    Entries entries_;
    // The unclaimed tokens in the same (oldest-first) order as `entries_`:
    // entries only ever leave this set, so its order follows `entries_`.
    OrderedSet<Text> unclaimed_;
    TicketCounter tickets_;
    std::uint64_t rng_state_;
    std::optional<std::uint32_t> max_pending_;
};

}  // namespace orvu::core
