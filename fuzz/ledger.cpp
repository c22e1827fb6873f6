// The delivery ledger: the claim registry with its retry tracker, driven by
// random operation sequences and compared call for call with a model built
// from the ledger's tables: in-flight pairs, per-room completed sets bounded
// and ordered by last touch, acknowledgement-pending entries in creation
// order with tokens, parking and continuations, acknowledgement-retry counts,
// the eligibility tests in their order, and the bounded retry budget.
#include "adapter.hpp"
#include "check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <limits>
#include <map>
#include <set>

namespace orvu::fuzz {
namespace {

constexpr std::uint32_t kCountMax = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kTokenMax = std::numeric_limits<std::uint64_t>::max();

std::uint32_t plus_one(std::uint32_t n) { return n == kCountMax ? n : n + 1; }

template <class List, class Key>
auto position(List& list, const Key& key) {
    return std::find_if(list.begin(), list.end(), [&](const auto& e) { return e.first == key; });
}

class TrackerModel {
public:
    TrackerModel(std::uint32_t max_retries, std::uint32_t max_tracked) : max_retries_(max_retries), max_tracked_(max_tracked) {}

    std::pair<std::uint32_t, bool> record_attempt(const std::string& id) {
        auto it = position(records_, id);
        std::uint32_t attempts = 1, limit = max_retries_;
        if (it != records_.end()) {
            attempts = plus_one(it->second.first);
            limit = it->second.second;
            it->second.first = attempts;
        } else {
            append_record(id, {attempts, limit});
        }
        const bool exhausted = attempts > limit;
        if (exhausted) mark_permanently_failed(id);
        return {attempts, exhausted};
    }
    void mark_success(const std::string& id) {
        auto it = position(records_, id);
        if (it != records_.end()) records_.erase(it);
    }
    void discard_attempt(const std::string& id) {
        auto it = position(records_, id);
        if (it == records_.end()) return;
        if (it->second.first <= 1) {
            records_.erase(it);
        } else {
            --it->second.first;
        }
    }
    void mark_permanently_failed(const std::string& id) {
        if (is_permanently_failed(id)) return;
        failed_.push_back(id);
        while (failed_.size() > max_tracked_) failed_.erase(failed_.begin());
    }
    bool is_permanently_failed(const std::string& id) const {
        return std::find(failed_.begin(), failed_.end(), id) != failed_.end();
    }
    std::pair<std::uint32_t, std::uint32_t> budget(const std::string& id) {
        auto it = position(records_, id);
        return it == records_.end() ? std::pair{0u, max_retries_} : it->second;
    }
    void confirm_retry(const std::string& id, std::uint32_t attempts, std::uint32_t limit) {
        auto it = position(records_, id);
        std::uint32_t r = max_retries_;
        if (it != records_.end()) {
            attempts = std::max(attempts, it->second.first);
            r = it->second.second;
        }
        r = std::min(r, limit);
        if (it != records_.end()) {
            it->second = {attempts, r};
        } else {
            append_record(id, {attempts, r});
        }
        if (attempts >= r) mark_permanently_failed(id);
    }

private:
    void append_record(const std::string& id, std::pair<std::uint32_t, std::uint32_t> record) {
        records_.emplace_back(id, record);
        while (records_.size() > max_tracked_) records_.erase(records_.begin());
    }

    std::uint32_t max_retries_, max_tracked_;
    std::vector<std::pair<std::string, std::pair<std::uint32_t, std::uint32_t>>> records_;  // creation order
    std::vector<std::string> failed_;                                                         // first marked first
};

using Pair = std::pair<std::string, std::string>;

struct Entry {
    Pair pair;
    std::optional<std::uint64_t> token;
    std::optional<std::string> error;  // failed intent
    std::optional<ParkedReason> parked;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> retry;
};

const Issue kDifferentIntent{"error", "invalid_value", "the message already has a different pending terminal intent"};
const Issue kTokensExhausted{"token", "invalid_value", "terminal obligation token capacity exhausted"};

class RegistryModel {
public:
    RegistryModel(std::uint32_t max_completed, std::uint64_t first_token, TrackerModel& tracker)
        : max_completed_(max_completed), counter_(first_token), tracker_(tracker) {}

    bool try_claim(const Pair& p) { return inflight_.insert(p).second; }
    void release(const Pair& p) { inflight_.erase(p); }
    std::vector<std::string> inflight_ids(const std::string& room) const {
        std::vector<std::string> out;
        for (const Pair& p : inflight_) {
            if (p.first == room) out.push_back(p.second);
        }
        return out;
    }
    bool is_completed(const Pair& p) {
        auto room = completed_.find(p.first);
        if (room == completed_.end()) return false;
        auto& ids = room->second;
        auto it = std::find(ids.begin(), ids.end(), p.second);
        if (it == ids.end()) return false;
        std::rotate(it, it + 1, ids.end());
        return true;
    }
    std::vector<std::string> completed_ids(const std::string& room) const {
        auto it = completed_.find(room);
        return it == completed_.end() ? std::vector<std::string>{} : it->second;
    }
    void discard_completed(const std::string& room) { completed_.erase(room); }
    void remember_completed(const Pair& p) {
        auto& ids = completed_[p.first];
        auto it = std::find(ids.begin(), ids.end(), p.second);
        if (it != ids.end()) {
            std::rotate(it, it + 1, ids.end());
        } else {
            ids.push_back(p.second);
        }
        while (ids.size() > max_completed_) ids.erase(ids.begin());
        auto entry = find(p);
        if (entry != pending_.end()) pending_.erase(entry);
        ack_retries_.erase(p);
    }

    bool is_ack_pending(const Pair& p) { return find(p) != pending_.end(); }
    void remember_ack_pending(const Pair& p) {
        if (find(p) == pending_.end()) pending_.push_back({p, mint(), std::nullopt, std::nullopt, std::nullopt});
    }
    std::optional<Refused> remember_failed_ack_pending(const Pair& p, const std::string& error) {
        auto entry = find(p);
        if (entry == pending_.end()) {
            pending_.push_back({p, mint(), error, std::nullopt, std::nullopt});
            return std::nullopt;
        }
        if (entry->error == error) return std::nullopt;
        return Refused{"", {kDifferentIntent}};
    }
    std::optional<PendingAck> pending_ack(const Pair& p) {
        auto entry = find(p);
        if (entry == pending_.end()) return std::nullopt;
        return PendingAck{entry->error, entry->parked};
    }
    bool park_ack(const Pair& p, ParkedReason reason) {
        auto entry = find(p);
        if (entry == pending_.end()) return false;
        entry->parked = reason;
        return true;
    }
    std::size_t unpark_acks(const std::string& room) {
        std::size_t count = 0;
        for (Entry& e : pending_) {
            if (e.pair.first != room) continue;
            count += e.parked.has_value();
            e.parked.reset();
        }
        return count;
    }
    std::vector<std::string> pending_ack_ids(const std::string& room) const {
        std::vector<std::string> out;
        for (const Entry& e : pending_) {
            if (e.pair.first == room) out.push_back(e.pair.second);
        }
        return out;
    }
    std::uint32_t record_ack_retry(const Pair& p) { return ack_retries_[p] = plus_one(ack_retries_[p]); }

    std::string eligibility(const Pair& p, const Facts& facts, bool claim) {
        if (facts.self_echo) return "self";
        if (find(p) != pending_.end()) return "pending";
        const bool found = is_completed(p);  // touches, whatever the facts say
        if (facts.durably_processed || found) return "completed";
        if (tracker_.is_permanently_failed(p.second)) return "exhausted";
        if (facts.durably_failed && !facts.allow_failed_retry) return "failed";
        if (inflight_.count(p)) return "inflight";
        if (claim) inflight_.insert(p);
        return "runnable";
    }

    SettlementResult record_settlement(const Pair& p, std::optional<std::string> error, bool allow_retry) {
        std::optional<std::pair<std::uint32_t, std::uint32_t>> retry;
        if (error) {
            const auto [attempts, limit] = tracker_.budget(p.second);
            if (attempts < limit && allow_retry) retry = {attempts, limit};
        }
        auto entry = find(p);
        if (entry != pending_.end()) {
            if (entry->error != error) return {std::nullopt, Refused{"", {kDifferentIntent}}};
            return describe(*entry);
        }
        const auto token = mint();
        if (!token) return {std::nullopt, Refused{"", {kTokensExhausted}}};
        pending_.push_back({p, token, std::move(error), std::nullopt, retry});
        return describe(pending_.back());
    }
    SettlementResult pending_settlement(const Pair& p) {
        auto entry = find(p);
        if (entry == pending_.end()) return {};
        return describe(*entry);
    }
    bool confirm_settlement(const Pair& p, const std::string& token) {
        auto entry = find(p);
        if (entry == pending_.end() || !entry->token || std::to_string(*entry->token) != token) return false;
        if (!entry->retry) {
            if (entry->error) tracker_.mark_permanently_failed(p.second);
            tracker_.mark_success(p.second);
            remember_completed(p);
        } else {
            tracker_.confirm_retry(p.second, entry->retry->first, entry->retry->second);
            pending_.erase(entry);
            ack_retries_.erase(p);
        }
        return true;
    }
    bool park_settlement(const Pair& p, const std::string& token, ParkedReason reason) {
        auto entry = find(p);
        if (entry == pending_.end() || !entry->token || std::to_string(*entry->token) != token) return false;
        entry->parked = reason;
        return true;
    }
    bool has_retryable_settlement(const std::string& room) const {
        return std::any_of(pending_.begin(), pending_.end(),
                           [&](const Entry& e) { return e.pair.first == room && !e.parked; });
    }

    // The token a host would hold for the pair: its entry's, when it has one.
    std::optional<std::string> token_of(const Pair& p) {
        auto entry = find(p);
        if (entry == pending_.end() || !entry->token) return std::nullopt;
        return std::to_string(*entry->token);
    }

private:
    std::vector<Entry>::iterator find(const Pair& p) {
        return std::find_if(pending_.begin(), pending_.end(), [&](const Entry& e) { return e.pair == p; });
    }
    std::optional<std::uint64_t> mint() {
        if (counter_ == kTokenMax) return std::nullopt;
        return counter_++;
    }
    static SettlementResult describe(const Entry& e) {
        if (!e.token) return {std::nullopt, Refused{"", {kTokensExhausted}}};
        return {Settlement{std::to_string(*e.token), e.error, e.parked, e.retry}, std::nullopt};
    }

    std::uint32_t max_completed_;
    std::uint64_t counter_;
    TrackerModel& tracker_;
    std::set<Pair> inflight_;
    std::map<std::string, std::vector<std::string>> completed_;
    std::vector<Entry> pending_;
    std::map<Pair, std::uint32_t> ack_retries_;
};

const std::vector<std::string> kRooms = {"", "r1", "r2", std::string("r1\0", 3)};
const std::vector<std::string> kIds = {"", "m1", "m2", "m3", "m4", "m5"};

std::string pick(FuzzedDataProvider& in, const std::vector<std::string>& pool) {
    const std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, pool.size());
    return k < pool.size() ? pool[k] : in.ConsumeRandomLengthString(12);
}

std::uint32_t pick_count(FuzzedDataProvider& in, std::uint32_t low) {
    return in.ConsumeIntegralInRange(0, 7) == 0 ? kCountMax : in.ConsumeIntegralInRange<std::uint32_t>(low, 4);
}

}  // namespace
}  // namespace orvu::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orvu::fuzz;
    FuzzedDataProvider in(data, size);
    const std::uint32_t max_completed = pick_count(in, 1);
    const std::uint64_t first_token = in.ConsumeBool() ? kTokenMax - in.ConsumeIntegralInRange<std::uint64_t>(0, 3) : 0;
    const std::uint32_t max_retries = pick_count(in, 0);
    const std::uint32_t max_tracked = pick_count(in, 1);
    Ledger ledger(max_completed, first_token, max_retries, max_tracked);
    TrackerModel tracker(max_retries, max_tracked);
    RegistryModel model(max_completed, first_token, tracker);

    for (int step = 0; step < 2000 && in.remaining_bytes() > 0; ++step) {
        const int op = in.ConsumeIntegralInRange(0, 25);
        const Pair p{pick(in, kRooms), pick(in, kIds)};
        const auto& [room, id] = p;
        switch (op) {
            case 0: FUZZ_SAME(ledger.try_claim(room, id), model.try_claim(p), "try_claim ", p); break;
            case 1: ledger.release(room, id), model.release(p); break;
            case 2: FUZZ_SAME(ledger.is_completed(room, id), model.is_completed(p), "is_completed ", p); break;
            case 3: ledger.discard_completed(room), model.discard_completed(room); break;
            case 4: ledger.remember_completed(room, id), model.remember_completed(p); break;
            case 5: FUZZ_SAME(ledger.is_ack_pending(room, id), model.is_ack_pending(p), "is_ack_pending ", p); break;
            case 6: ledger.remember_ack_pending(room, id), model.remember_ack_pending(p); break;
            case 7: {
                const std::string error = pick(in, {"", "E", "F"});
                FUZZ_SAME(ledger.remember_failed_ack_pending(room, id, error),
                          model.remember_failed_ack_pending(p, error), "remember_failed_ack_pending ", p, " ", error);
                break;
            }
            case 8: FUZZ_SAME(ledger.pending_ack(room, id), model.pending_ack(p), "pending_ack ", p); break;
            case 9: {
                const ParkedReason reason = in.ConsumeBool() ? ParkedReason::NotFound : ParkedReason::Rejected;
                FUZZ_SAME(ledger.park_ack(room, id, reason), model.park_ack(p, reason), "park_ack ", p);
                break;
            }
            case 10: FUZZ_SAME(ledger.unpark_acks(room), model.unpark_acks(room), "unpark_acks ", room); break;
            case 11: FUZZ_SAME(ledger.record_ack_retry(room, id), model.record_ack_retry(p), "record_ack_retry ", p); break;
            case 12:
            case 13: {
                Facts facts;
                const auto bits = in.ConsumeIntegral<std::uint8_t>();
                // Mostly the defaults, so that the later tests are reached.
                if (bits & 0x80) {
                    facts = {bool(bits & 1), bool(bits & 2), bool(bits & 4), bool(bits & 8)};
                }
                if (op == 12) {
                    FUZZ_SAME(ledger.delivery_eligibility(room, id, facts), model.eligibility(p, facts, false),
                              "delivery_eligibility ", p, " facts ", int(bits));
                } else {
                    FUZZ_SAME(ledger.guarded_claim(room, id, facts), model.eligibility(p, facts, true),
                              "guarded_claim ", p, " facts ", int(bits));
                }
                break;
            }
            case 14:
            case 15: {
                const SettlementResult got = op == 14 ? ledger.record_processed_settlement(room, id)
                                                      : ledger.pending_settlement(room, id);
                const SettlementResult want = op == 14 ? model.record_settlement(p, std::nullopt, false)
                                                       : model.pending_settlement(p);
                FUZZ_SAME(got.settlement, want.settlement, op == 14 ? "record_processed_settlement " : "pending_settlement ", p);
                FUZZ_SAME(got.refused, want.refused, "refusal ", p);
                break;
            }
            case 16: {
                const std::string error = pick(in, {"", "E", "F"});
                const bool allow_retry = in.ConsumeBool();
                const SettlementResult got = ledger.record_failed_settlement(room, id, error, allow_retry);
                const SettlementResult want = model.record_settlement(p, error, allow_retry);
                FUZZ_SAME(got.settlement, want.settlement, "record_failed_settlement ", p, " ", error);
                FUZZ_SAME(got.refused, want.refused, "refusal ", p);
                break;
            }
            case 17:
            case 18: {
                // The pair's own token, or another: stale, padded, or from the input.
                std::string token = model.token_of(p).value_or("0");
                switch (in.ConsumeIntegralInRange(0, 4)) {
                    case 0: token = "0" + token; break;
                    case 1: token = std::to_string(in.ConsumeIntegralInRange(0, 9)); break;
                    case 2: token = in.ConsumeRandomLengthString(8); break;
                    default: break;
                }
                if (op == 17) {
                    FUZZ_SAME(ledger.confirm_settlement(room, id, token), model.confirm_settlement(p, token),
                              "confirm_settlement ", p, " ", token);
                } else {
                    const ParkedReason reason = in.ConsumeBool() ? ParkedReason::NotFound : ParkedReason::Rejected;
                    FUZZ_SAME(ledger.park_settlement(room, id, token, reason), model.park_settlement(p, token, reason),
                              "park_settlement ", p, " ", token);
                }
                break;
            }
            case 19:
                FUZZ_SAME(ledger.has_retryable_settlement(room), model.has_retryable_settlement(room),
                          "has_retryable_settlement ", room);
                break;
            case 20: FUZZ_SAME(ledger.record_attempt(id), tracker.record_attempt(id), "record_attempt ", id); break;
            case 21: ledger.mark_success(id), tracker.mark_success(id); break;
            case 22: ledger.discard_attempt(id), tracker.discard_attempt(id); break;
            case 23: ledger.mark_permanently_failed(id), tracker.mark_permanently_failed(id); break;
            case 24:
                FUZZ_SAME(ledger.is_permanently_failed(id), tracker.is_permanently_failed(id),
                          "is_permanently_failed ", id);
                break;
            default: {
                // Listings: in-flight ids in no defined order, the others in theirs.
                auto inflight = ledger.inflight_ids(room);
                std::sort(inflight.begin(), inflight.end());
                FUZZ_SAME(inflight, model.inflight_ids(room), "inflight_ids ", room);
                FUZZ_SAME(ledger.completed_ids(room), model.completed_ids(room), "completed_ids ", room);
                FUZZ_SAME(ledger.pending_ack_ids(room), model.pending_ack_ids(room), "pending_ack_ids ", room);
                break;
            }
        }
    }
    for (const std::string& room : kRooms) {
        FUZZ_SAME(ledger.completed_ids(room), model.completed_ids(room), "completed_ids ", room, " at the end");
        FUZZ_SAME(ledger.pending_ack_ids(room), model.pending_ack_ids(room), "pending_ack_ids ", room, " at the end");
    }
    return 0;
}
