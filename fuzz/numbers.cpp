// Numbers and tokens: the shortest float text of messages, decimal integer
// texts, exact durations and the terminal obligation tokens, each against a
// model written from the rules (shortest round-trip digits without exponent;
// nearest nanosecond, ties to even; a token is its counter's decimal text and
// matches only that exact text).
#include "adapter.hpp"
#include "check.hpp"
#include "model_numbers.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace orvu::fuzz {
namespace {

double any_double(FuzzedDataProvider& in) {
    static constexpr double kEdges[] = {0.0, -0.0, 0.5, 1.0, -1.0, 2.5, 1e-9, 5e-10, 1.5e-9, 1e21, 1e22, 1e300,
                                        5e-324, 2.2250738585072014e-308, 9007199254740993.0,
                                        18446744073709551616.0, 18446744073709549568.0, 0.1, 1.0 / 3};
    if (in.ConsumeBool()) return kEdges[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kEdges) - 1)];
    const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

std::uint64_t any_uint(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0: return in.ConsumeIntegralInRange<std::uint64_t>(0, 1000);
        case 1: return std::numeric_limits<std::uint64_t>::max() - in.ConsumeIntegralInRange<std::uint64_t>(0, 3);
        default: return in.ConsumeIntegral<std::uint64_t>();
    }
}

void check_float(double value) {
    const std::string text = float_text(value);
    FUZZ_SAME(text, model_float_text(value), "float bits ", std::hex, [&] {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return bits;
    }());
    if (std::isfinite(value)) FUZZ_EXPECT(reads_back(text, value), text, " does not read back");
    FUZZ_EXPECT(text.find_first_of("eE") == std::string::npos, text);
}

void check_duration(double seconds) {
    FUZZ_SAME(exact_duration(seconds), model_duration(seconds), "seconds ", model_float_text(seconds));
}

// A registry whose token counter stands at `counter`: its first settlement
// carries the counter's decimal text, and only that exact text confirms it.
void check_token(std::uint64_t counter, const std::string& offered) {
    FUZZ_SAME(uint_text(counter), decimal(counter), "counter");
    Ledger ledger(1, counter, 1, 1);
    const SettlementResult recorded = ledger.record_processed_settlement("r", "m");
    if (counter == std::numeric_limits<std::uint64_t>::max()) {
        FUZZ_EXPECT(recorded.refused.has_value(), "no token is left at the counter's largest value");
        FUZZ_SAME(recorded.refused->issues,
                  (std::vector<Issue>{{"token", "invalid_value", "terminal obligation token capacity exhausted"}}),
                  "exhausted");
        return;
    }
    FUZZ_EXPECT(recorded.settlement.has_value(), "a settlement for a fresh pair");
    FUZZ_SAME(recorded.settlement->token, decimal(counter), "token text");
    FUZZ_SAME(ledger.park_settlement("r", "m", offered, ParkedReason::Rejected), offered == decimal(counter),
              "park with ", offered);
    FUZZ_SAME(ledger.confirm_settlement("r", "m", offered), offered == decimal(counter), "confirm with ", offered);
}

void check_range(const std::string& name, std::uint64_t low, std::uint64_t high, std::int64_t value) {
    const bool inside = value >= 0 && static_cast<std::uint64_t>(value) >= low && static_cast<std::uint64_t>(value) <= high;
    std::optional<std::string> expected;
    if (!inside) {
        expected = "`" + name + "` must be an integer between " + decimal(low) + " and " + decimal(high) + ", got " +
                   signed_decimal(value);
    }
    FUZZ_SAME(range_refusal(name, low, high, value), expected, "range");
}

}  // namespace
}  // namespace orvu::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orvu::fuzz;
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: check_float(any_double(in)); break;
            case 1: check_duration(any_double(in)); break;
            case 2: {
                const std::uint64_t counter = any_uint(in);
                // The exact text, or a near miss: a leading zero, a sign, a
                // blank, a neighbour, or bytes of the input.
                const std::string exact = decimal(counter);
                std::string offered;
                switch (in.ConsumeIntegralInRange(0, 5)) {
                    case 0: offered = exact; break;
                    case 1: offered = "0" + exact; break;
                    case 2: offered = "+" + exact; break;
                    case 3: offered = exact + " "; break;
                    case 4: offered = decimal(counter + 1); break;
                    default: offered = in.ConsumeRandomLengthString(24); break;
                }
                check_token(counter, offered);
                break;
            }
            default: {
                const std::uint64_t a = any_uint(in), b = any_uint(in);
                check_range(in.ConsumeRandomLengthString(8), std::min(a, b), std::max(a, b),
                            static_cast<std::int64_t>(in.ConsumeIntegral<std::uint64_t>()));
                break;
            }
        }
    }
    return 0;
}
