// The core's argument rules and small decisions, driven one case per run and
// printed for the Python test to compare:
//   rules_check range LOW HIGH VALUE     (VALUE in decimal, may be negative)
//   rules_check fact NAME
//   rules_check drain SENDER_ID SENDER_TYPE AGENT_ID IN_SNAPSHOT | drain none
//   rules_check next TRIGGERING [NEXT]
#include "core/claims.hpp"
#include "core/decisions.hpp"
#include "core/events.hpp"
#include "core/numbers.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace orvu::core;

namespace {

template <class T>
void print_outcome(const Outcome<T>& outcome, const std::string& value) {
    if (outcome.ok()) {
        std::printf("ok %s\n", value.c_str());
    } else {
        std::printf("%s %s\n", outcome.refusal().kind == Refusal::Kind::Type ? "type" : "value",
                    outcome.refusal().text.c_str());
    }
}

void range(const char* low, const char* high, const char* value) {
    const IntRange r{std::strtoull(low, nullptr, 10), std::strtoull(high, nullptr, 10)};
    Outcome<std::uint64_t> checked = value[0] == '-' ? r.check("n", static_cast<std::int64_t>(std::strtoll(value, nullptr, 10)))
                                                     : r.check("n", static_cast<std::uint64_t>(std::strtoull(value, nullptr, 10)));
    print_outcome(checked, checked.ok() ? std::to_string(checked.value()) : "");
}

void fact(const char* name) {
    DeliveryFacts f;
    const Outcome<> set = set_delivery_fact(f, name, true);
    print_outcome(set, std::to_string(f.self_echo) + std::to_string(f.durably_processed) +
                           std::to_string(f.durably_failed) + std::to_string(f.allow_failed_retry));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "range" && argc == 5) {
        range(argv[2], argv[3], argv[4]);
    } else if (mode == "fact" && argc == 3) {
        fact(argv[2]);
    } else if (mode == "drain" && (argc == 3 || argc == 6)) {
        const DrainCandidate candidate{"m1", argc == 6 ? argv[2] : "", argc == 6 ? argv[3] : ""};
        const DrainStep step = decide_drain(argc == 6 ? &candidate : nullptr, argc == 6 ? argv[4] : "",
                                            argc == 6 && std::string_view(argv[5]) == "1");
        std::printf("%s %s\n", std::string(wire_of(step.decision)).c_str(),
                    step.message_id ? std::string(*step.message_id).c_str() : "-");
    } else if (mode == "next" && (argc == 3 || argc == 4)) {
        const NextMessageStep step =
            decide_next_message(argv[2], argc == 4 ? std::optional<std::string_view>(argv[3]) : std::nullopt);
        std::printf("%s %s\n", std::string(wire_of(step.decision)).c_str(),
                    step.next_open_id ? std::string(*step.next_open_id).c_str() : "-");
    } else {
        return 2;
    }
    return 0;
}
