// Checks of the delivery ledger's core that cannot be reached from Python in
// reasonable time: counters at their largest values. Run with one case name;
// prints each failed expectation and exits non-zero if any failed.
#include "core/claims.hpp"
#include "core/retry.hpp"

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>

using namespace orvu::core;

#include "expect.hpp"

// A refusal carrying exactly the one issue described.
template <class T>
static bool is_issue(const Outcome<T>& r, const char* path, const char* message) {
    if (r.ok() || r.refusal().kind != Refusal::Kind::Validation || r.refusal().issues.size() != 1) return false;
    const Issue& issue = r.refusal().issues.front();
    return issue.path == path && issue.message == message && issue.code == IssueCode::InvalidValue;
}

static const char* kExhausted = "terminal obligation token capacity exhausted";

static void token_counter_exhaustion() {
    ClaimRegistry reg(5, kTokenMax - 1);
    SettlementResult last = reg.record_processed_settlement("r", "a");
    EXPECT(last.ok() && last.value().token == kTokenMax - 1);
    EXPECT(reg.next_token() == kTokenMax);

    // The largest value is never handed out and nothing is stored.
    EXPECT(is_issue(reg.record_processed_settlement("r", "b"), "token", kExhausted));
    EXPECT(is_issue(reg.record_failed_settlement("r", "b", "e", RetryTracker(1, 10), true), "token", kExhausted));
    EXPECT(!reg.is_ack_pending("r", "b"));
    EXPECT(reg.pending_ack_ids("r").size() == 1 && reg.next_token() == kTokenMax);

    // Entries recorded outside settlement are still created, without a token.
    reg.remember_ack_pending("r", "c");
    EXPECT(reg.is_ack_pending("r", "c"));
    EXPECT(reg.pending_ack("r", "c") && !reg.pending_ack("r", "c")->token);
    SettlementLookup shown = reg.pending_settlement("r", "c");
    EXPECT(is_issue(shown, "token", kExhausted));
    EXPECT(is_issue(reg.record_processed_settlement("r", "c"), "token", kExhausted));
    EXPECT(is_issue(reg.record_failed_settlement("r", "c", "e", RetryTracker(1, 10), false), "error",
                    "the message already has a different pending terminal intent"));
    RetryTracker tracker(1, 10);
    EXPECT(!reg.confirm_settlement("r", "c", "18446744073709551615", tracker));
    EXPECT(!reg.park_settlement("r", "c", "18446744073709551615", ParkedReason::Rejected));
    EXPECT(reg.park_ack("r", "c", ParkedReason::Rejected));
    // Only completion clears such an entry.
    reg.remember_completed("r", "c");
    EXPECT(!reg.is_ack_pending("r", "c"));
}

static void attempts_saturate() {
    RetryTracker tracker(5, 10);
    tracker.confirm_retry("m", kCountMax, kCountMax);
    EXPECT(tracker.budget("m").attempts == kCountMax && tracker.budget("m").limit == 5);
    EXPECT(tracker.is_permanently_failed("m"));
    AttemptResult r = tracker.record_attempt("m");
    EXPECT(r.attempts == kCountMax && r.exhausted);
    r = tracker.record_attempt("m");
    EXPECT(r.attempts == kCountMax && r.exhausted);
}

static void saturated_attempts_at_largest_limit() {
    RetryTracker tracker(kCountMax, 10);
    tracker.confirm_retry("m", kCountMax - 1, kCountMax);
    EXPECT(!tracker.is_permanently_failed("m"));
    for (int i = 0; i < 3; ++i) {
        AttemptResult r = tracker.record_attempt("m");
        // Attempts stop at the largest count, which never exceeds the largest limit.
        EXPECT(r.attempts == kCountMax && !r.exhausted);
    }
    EXPECT(!tracker.is_permanently_failed("m"));
    tracker.discard_attempt("m");
    EXPECT(tracker.budget("m").attempts == kCountMax - 1);
}

// The one counter type behind tickets, tokens, attempts and retry counts.
static void counters_saturate() {
    Saturating<std::uint32_t> count(kCountMax - 1);
    count.advance();
    EXPECT(count == kCountMax && count.exhausted());
    count.advance();
    EXPECT(count == kCountMax);
    Saturating<std::uint64_t> tickets(kTokenMax - 1);
    EXPECT(tickets.take() == kTokenMax - 1);
    // The largest value is never handed out, however often it is asked for.
    EXPECT(!tickets.take() && !tickets.take() && tickets == kTokenMax);
}

int main(int argc, char** argv) {
    const std::map<std::string, std::function<void()>> cases = {
        {"token_counter_exhaustion", token_counter_exhaustion},
        {"attempts_saturate", attempts_saturate},
        {"saturated_attempts_at_largest_limit", saturated_attempts_at_largest_limit},
        {"counters_saturate", counters_saturate},
    };
    if (argc != 2 || !cases.count(argv[1])) {
        std::printf("unknown case\n");
        return 2;
    }
    cases.at(argv[1])();
    return failures == 0 ? 0 : 1;
}
