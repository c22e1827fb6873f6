// The core's argument rules and small decisions, driven one case per run and
// printed for the Python test to compare:
//   rules_check range LOW HIGH VALUE     (VALUE in decimal, may be negative)
//   rules_check fact NAME
//   rules_check drain SENDER_ID SENDER_TYPE AGENT_ID IN_SNAPSHOT | drain none
//   rules_check next TRIGGERING [NEXT]
//   rules_check paths
#include "core/claims.hpp"
#include "core/decisions.hpp"
#include "core/events.hpp"
#include "core/json_view.hpp"
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

// A tree of {"a": [{"x": 1}, {}], "b": {"c": {}}}: the paths to its objects
// and the order in which edits of them are applied.
void paths() {
    ViewNodes nodes;
    nodes.reset();
    nodes.append(2);                                  // 1: "a", 2: "b"
    nodes[0].set_container(JsonView::Kind::Object, 1, 2);
    nodes[1].set_key("a");
    nodes[2].set_key("b");
    nodes.append(2);                                  // 3, 4: the items of "a"
    nodes[1].set_container(JsonView::Kind::Array, 2, 2);
    nodes.append(1);                                  // 5: "c"
    nodes[2].set_container(JsonView::Kind::Object, 3, 1);
    nodes[5].set_key("c");
    nodes[5].set_container(JsonView::Kind::Object, 0, 0);
    nodes.append(1);                                  // 6: "x"
    nodes[3].set_container(JsonView::Kind::Object, 3, 1);
    nodes[6].set_key("x");
    nodes[6].set_uint(1);
    nodes[4].set_container(JsonView::Kind::Object, 0, 0);
    const ViewPaths paths(nodes);
    for (std::size_t target : {3, 4, 5}) {
        std::printf("%zu:", target);
        for (const ViewStep& step : paths.to(target)) {
            if (step.by_key) std::printf(" .%.*s", static_cast<int>(step.key.size()), step.key.data());
            else std::printf(" [%zu]", step.index);
        }
        std::printf("\n");
    }
    const std::vector<PayloadEdit> edits{{&nodes[3], "p", std::nullopt}, {&nodes[5], "q", std::nullopt},
                                         {&nodes[0], "r", std::nullopt}, {&nodes[5], "s", std::nullopt}};
    std::printf("order:");
    for (const auto& [node, edit] : edits_innermost_first(nodes, edits)) {
        std::printf(" %zu%.*s", node, static_cast<int>(edit->key.size()), edit->key.data());
    }
    std::printf("\n");
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
    } else if (mode == "paths" && argc == 2) {
        paths();
    } else {
        return 2;
    }
    return 0;
}
