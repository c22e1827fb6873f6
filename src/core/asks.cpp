#include "core/asks.hpp"

namespace orvu::core {

std::uint64_t seed_from_bytes(const unsigned char (&bytes)[8]) noexcept {
    std::uint64_t seed = 0;
    for (int i = 7; i >= 0; --i) seed = (seed << 8) | bytes[i];
    return seed;
}

std::uint64_t splitmix64_next(std::uint64_t& state) noexcept {
    state += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

TokenText token_from_draw(std::uint64_t draw) noexcept {
    static constexpr char kHex[] = "0123456789abcdef";
    TokenText token;
    auto low = static_cast<std::uint32_t>(draw);
    for (int i = 7; i >= 0; --i) {
        token.digits[i] = kHex[low & 0xF];
        low >>= 4;
    }
    return token;
}

void DecisionRegistry::append(std::string_view token, std::uint64_t hash, Entry entry) {
    entries_.insert_back(token, std::move(entry), hash);
    unclaim(token, hash);
}

void DecisionRegistry::unclaim(std::string_view token, std::uint64_t hash) {
    try {
        unclaimed_.insert_back(token, hash);
    } catch (...) {
        entries_.erase(token, hash);
        throw;
    }
}

void DecisionRegistry::remove(std::string_view token, std::uint64_t hash) {
    unclaimed_.erase(token, hash);
    entries_.erase(token, hash);
}

std::optional<DecisionRegistry::Minted> DecisionRegistry::register_minted(std::optional<std::string_view> room_id) {
    if (tickets_.exhausted()) return std::nullopt;
    // Work on a copy of the generator so that a failed insertion changes nothing.
    std::uint64_t state = rng_state_;
    const std::uint64_t ticket = tickets_;
    TokenText token;
    for (;;) {  // a token already in use is drawn again
        token = token_from_draw(splitmix64_next(state));
        const std::uint64_t hash = Entries::hash(token.view());
        if (entries_.insert_back(token.view(),
                                 Entry{room_id ? std::optional<std::string>(std::in_place, *room_id) : std::nullopt,
                                       ticket, false},
                                 hash)) {
            unclaim(token.view(), hash);
            break;
        }
    }
    rng_state_ = state;
    tickets_.advance();
    return Minted{token, ticket};
}

std::optional<DecisionRegistry::Registration> DecisionRegistry::register_keyed(std::string_view text) {
    const std::uint64_t hash = Entries::hash(text);
    Entry* existing = entries_.find(text, hash);
    if (existing && existing->claimed) return std::nullopt;
    if (tickets_.exhausted()) return std::nullopt;
    const std::uint64_t ticket = tickets_;
    Registration result{text, ticket};  // built first: the steps below cannot fail halfway
    if (existing) {
        // Re-registering keeps the ask's place; every older ticket goes stale.
        existing->ticket = ticket;
        existing->room_id.reset();
    } else {
        append(text, hash, Entry{std::nullopt, ticket, false});
    }
    tickets_.advance();
    return result;
}

DecisionRegistry::Entry* DecisionRegistry::live(std::string_view token, std::uint64_t hash, std::uint64_t ticket) {
    Entry* entry = entries_.find(token, hash);
    return (entry && entry->ticket == ticket) ? entry : nullptr;
}

ClaimOutcome DecisionRegistry::try_claim(std::string_view text, std::uint64_t ticket) {
    const std::uint64_t hash = Entries::hash(text);
    Entry* entry = live(text, hash, ticket);
    if (!entry) return ClaimOutcome::Stale;
    if (entry->claimed) return ClaimOutcome::AlreadyClaimed;
    entry->claimed = true;
    unclaimed_.erase(text, hash);
    return ClaimOutcome::Claimed;
}

bool DecisionRegistry::withdraw(std::string_view text, std::uint64_t ticket) {
    const std::uint64_t hash = Entries::hash(text);
    Entry* entry = live(text, hash, ticket);
    if (!entry || entry->claimed) return false;
    remove(text, hash);
    return true;
}

bool DecisionRegistry::forget(std::string_view text, std::uint64_t ticket) {
    const std::uint64_t hash = Entries::hash(text);
    const auto at = entries_.locate(text, hash);
    if (!at || entries_.value(at).ticket != ticket) return false;
    // A claimed ask already left the unclaimed set; the map is untouched until its own erase.
    if (!entries_.value(at).claimed) unclaimed_.erase(text, hash);
    entries_.erase(at);
    return true;
}

std::vector<std::string> DecisionRegistry::unclaimed() const {
    std::vector<std::string> tokens;
    tokens.reserve(unclaimed_.size());
    unclaimed_.for_each([&](const Text& token) { tokens.emplace_back(token); });
    return tokens;
}

std::vector<std::string> DecisionRegistry::unclaimed_in_room(std::string_view room_id) const {
    std::vector<std::string> tokens;
    for (const auto& [token, entry] : entries_) {
        if (!entry.claimed && entry.room_id && *entry.room_id == room_id) tokens.emplace_back(token);
    }
    return tokens;
}

std::optional<std::string> DecisionRegistry::oldest_unclaimed() const {
    const Text* front = unclaimed_.front();
    if (!front) return std::nullopt;
    return std::string(*front);
}

std::optional<std::string> DecisionRegistry::evict_oldest() {
    if (!max_pending_ || entries_.size() < *max_pending_) return std::nullopt;
    const Text* front = unclaimed_.front();
    if (!front) return std::nullopt;
    std::string token(*front);
    remove(token, Entries::hash(token));
    return token;
}

CancelledDecisions DecisionRegistry::cancel_all() {
    CancelledDecisions removed;
    for (const auto& [token, entry] : entries_) {
        (entry.claimed ? removed.claimed : removed.unclaimed).emplace_back(token);
    }
    unclaimed_.clear();
    entries_.clear();
    return removed;
}

CancelledDecisions DecisionRegistry::cancel_room(std::string_view room_id) {
    CancelledDecisions removed;
    for (const auto& [token, entry] : entries_) {
        if (entry.room_id && *entry.room_id == room_id) {
            (entry.claimed ? removed.claimed : removed.unclaimed).emplace_back(token);
        }
    }
    // The lists are complete before anything is removed, so a failure above changes nothing.
    for (const auto& token : removed.unclaimed) remove(token, Entries::hash(token));
    for (const auto& token : removed.claimed) remove(token, Entries::hash(token));
    return removed;
}

}  // namespace orvu::core
