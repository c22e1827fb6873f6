#include "adapter.hpp"

#include "core/events.hpp"
#include "core/numbers.hpp"

#include <ostream>

namespace orvu::fuzz {

namespace {

std::vector<Issue> issues_of(const core::Issues& issues) {
    std::vector<Issue> out;
    for (const core::Issue& i : issues) out.push_back({i.path, std::string(core::issue_code_wire(i.code)), i.message});
    return out;
}

Refused refused_of(const core::Refusal& r) { return {r.text, issues_of(r.issues)}; }

// The conversion of a host's value: object keys sorted, a repeated key
// keeping its last value (the core's object constructor does both).
core::JsonValue to_core(const Json& v) {
    switch (v.kind) {
        case Json::Kind::Null: return core::JsonValue::null();
        case Json::Kind::Bool: return core::JsonValue::boolean(v.b);
        case Json::Kind::UInt: return core::JsonValue::uint(v.u);
        case Json::Kind::Int: return core::JsonValue::integer(v.i);
        case Json::Kind::Float: return core::JsonValue::real(v.f);
        case Json::Kind::String: return core::JsonValue::string(v.s);
        case Json::Kind::Array: {
            core::JsonValue::Array items;
            for (const Json& item : v.items) items.push_back(to_core(item));
            return core::JsonValue::array(std::move(items));
        }
        case Json::Kind::Object: {
            core::JsonValue::Object members;
            for (const auto& [key, value] : v.members) members.emplace_back(key, to_core(value));
            return core::JsonValue::object(std::move(members));
        }
    }
    return core::JsonValue::null();
}

Json from_core(const core::JsonValue& v) {
    using K = core::JsonValue::Kind;
    Json out;
    switch (v.kind()) {
        case K::Null: break;
        case K::Bool: out = Json::boolean(v.as_bool()); break;
        case K::UInt: out.kind = Json::Kind::UInt; out.u = v.as_uint(); break;
        case K::Int: out.kind = Json::Kind::Int; out.i = v.as_int(); break;
        case K::Float: out.kind = Json::Kind::Float; out.f = v.as_float(); break;
        case K::String: out = Json::string(std::string(v.as_string())); break;
        case K::Array:
            out = Json::array();
            for (const core::JsonValue& item : v.as_array()) out.items.push_back(from_core(item));
            break;
        case K::Object:
            out = Json::object();
            for (const core::JsonMember& m : v.as_object()) out.members.emplace_back(m.first, from_core(m.second));
            break;
    }
    return out;
}

Settlement settlement_of(const core::Settlement& s) {
    const core::AckEntry& e = s.entry;
    Settlement out{core::format_uint(s.token), std::nullopt, e.parked, std::nullopt};
    if (e.intent.failed()) out.error = std::string(e.intent.error());
    if (e.continuation.retry) out.retry = {e.continuation.attempts, e.continuation.max_retries};
    return out;
}

SettlementResult result_of(core::SettlementResult r) {
    if (!r.ok()) return {std::nullopt, refused_of(r.refusal())};
    return {settlement_of(r.value()), std::nullopt};
}

core::DeliveryFacts facts_of(const Facts& f) {
    return {f.self_echo, f.durably_processed, f.durably_failed, f.allow_failed_retry};
}

Nanos nanos_of(core::Duration d) { return {d.secs, d.nanos}; }

Report report_of(core::Outcome<core::SessionOutcome> r) {
    if (!r.ok()) return {refused_of(r.refusal()), SessionState::Connecting, std::nullopt, std::nullopt, std::nullopt};
    const core::SessionOutcome& o = r.value();
    Report out{std::nullopt, o.state, std::nullopt, o.dead_reason, o.stale_reason};
    if (o.retry_after) out.retry_after = nanos_of(*o.retry_after);
    return out;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Issue& i) {
    return out << "(" << i.path << ", " << i.code << ", " << i.message << ")";
}
std::ostream& operator<<(std::ostream& out, const Refused& r) {
    out << "refused '" << r.text << "'";
    for (const Issue& i : r.issues) out << " " << i;
    return out;
}
std::ostream& operator<<(std::ostream& out, const Nanos& d) { return out << d.secs << "s+" << d.nanos << "ns"; }
std::ostream& operator<<(std::ostream& out, const Settlement& s) {
    out << "{token " << s.token << ", " << (s.error ? "failed " + *s.error : std::string("processed"));
    if (s.parked) out << ", parked " << static_cast<int>(*s.parked);
    if (s.retry) out << ", retry " << s.retry->first << "/" << s.retry->second;
    return out << "}";
}
std::ostream& operator<<(std::ostream& out, const PendingAck& a) {
    out << "{" << (a.error ? "failed " + *a.error : std::string("processed"));
    if (a.parked) out << ", parked " << static_cast<int>(*a.parked);
    return out << "}";
}

Validation validate_event_payload(std::string_view event_name, const Json& payload) {
    auto type = core::event_type_named(event_name);
    if (!type.ok()) return {std::nullopt, issues_of(type.refusal().issues)};
    auto result = core::validate_event_payload(type.value(), to_core(payload));
    if (!result.ok()) return {std::nullopt, issues_of(result.refusal().issues)};
    return {from_core(result.value()), {}};
}

std::string float_text(double value) { return core::format_float(value); }
std::string uint_text(std::uint64_t value) { return std::string(core::uint_digits(value).view()); }

std::optional<Nanos> exact_duration(double seconds) {
    if (auto d = core::Duration::from_seconds(seconds)) return nanos_of(*d);
    return std::nullopt;
}

std::optional<std::string> range_refusal(std::string_view name, std::uint64_t low, std::uint64_t high,
                                         std::int64_t value) {
    auto checked = core::IntRange{low, high}.check(name, value);
    if (checked.ok()) return std::nullopt;
    return checked.refusal().text;
}

std::optional<std::uint64_t> OrderedStore::find(std::string_view key) const {
    if (const std::uint64_t* v = map_.find(key)) return *v;
    return std::nullopt;
}
std::optional<std::pair<std::string, std::uint64_t>> OrderedStore::pop_front() {
    auto e = map_.pop_front();
    if (!e) return std::nullopt;
    return std::pair{std::string(e->first.view()), e->second};
}
std::optional<std::string> OrderedStore::front() const {
    if (const auto* e = map_.front()) return std::string(e->first.view());
    return std::nullopt;
}
std::vector<std::pair<std::string, std::uint64_t>> OrderedStore::entries() const {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    for (const auto& e : map_) out.emplace_back(e.first.view(), e.second);
    return out;
}

Ledger::Ledger(std::uint32_t max_completed, std::uint64_t first_token, std::uint32_t max_retries,
               std::uint32_t max_tracked)
    : registry_(max_completed, first_token), tracker_(max_retries, max_tracked) {}

std::optional<Refused> Ledger::remember_failed_ack_pending(std::string_view room, std::string_view id,
                                                           std::string_view error) {
    auto r = registry_.remember_failed_ack_pending(room, id, error);
    if (r.ok()) return std::nullopt;
    return refused_of(r.refusal());
}

std::optional<PendingAck> Ledger::pending_ack(std::string_view room, std::string_view id) const {
    const core::AckEntry* e = registry_.pending_ack(room, id);
    if (!e) return std::nullopt;
    PendingAck out{std::nullopt, e->parked};
    if (e->intent.failed()) out.error = std::string(e->intent.error());
    return out;
}

std::string Ledger::delivery_eligibility(std::string_view room, std::string_view id, const Facts& facts) {
    return std::string(core::eligibility_word(registry_.delivery_eligibility(room, id, tracker_, facts_of(facts))));
}
std::string Ledger::guarded_claim(std::string_view room, std::string_view id, const Facts& facts) {
    return std::string(core::eligibility_word(registry_.guarded_claim(room, id, tracker_, facts_of(facts))));
}
SettlementResult Ledger::record_processed_settlement(std::string_view room, std::string_view id) {
    return result_of(registry_.record_processed_settlement(room, id));
}
SettlementResult Ledger::record_failed_settlement(std::string_view room, std::string_view id, std::string_view error,
                                                  bool allow_retry) {
    return result_of(registry_.record_failed_settlement(room, id, error, tracker_, allow_retry));
}
SettlementResult Ledger::pending_settlement(std::string_view room, std::string_view id) const {
    auto r = registry_.pending_settlement(room, id);
    if (!r.ok()) return {std::nullopt, refused_of(r.refusal())};
    if (!r.value()) return {};
    return {settlement_of(*r.value()), std::nullopt};
}
std::pair<std::uint32_t, bool> Ledger::record_attempt(std::string_view id) {
    const core::AttemptResult r = tracker_.record_attempt(id);
    return {r.attempts, r.exhausted};
}

std::optional<Refused> SessionMachine::configure(const PolicyConfig& config) {
    core::SessionPolicy policy;
    const auto keys = core::session_policy_keys();
    for (std::size_t k = 0; k < keys.size() && k < config.size(); ++k) {
        auto set = core::set_policy_value(policy, keys[k], config[k]);
        if (!set.ok()) return refused_of(set.refusal());
    }
    auto checked = core::check_policy_relations(policy);
    if (!checked.ok()) return refused_of(checked.refusal());
    policy_ = policy;
    session_.emplace(policy);
    return std::nullopt;
}

std::pair<std::optional<Refused>, std::optional<std::uint64_t>> SessionMachine::begin_attempt(double now_s) {
    auto r = session_->checked_begin_attempt(now_s);
    if (!r.ok()) return {refused_of(r.refusal()), std::nullopt};
    return {std::nullopt, r.value()};
}
Report SessionMachine::on_connected(std::int64_t epoch, double now_s) {
    return report_of(session_->checked_on_connected(epoch, now_s));
}
Report SessionMachine::on_socket_close(std::int64_t epoch, double now_s, std::optional<std::int64_t> close_code,
                                       double jitter) {
    return report_of(session_->checked_on_socket_close(epoch, now_s, close_code, jitter));
}
Report SessionMachine::on_upgrade_rejected(std::int64_t epoch, double now_s, std::int64_t status,
                                           std::optional<double> retry_after_s, double jitter) {
    return report_of(session_->checked_on_upgrade_rejected(epoch, now_s, status, retry_after_s, jitter));
}
Report SessionMachine::on_supersede(double now_s, bool retryable, std::optional<double> retry_after_s, double jitter) {
    return report_of(session_->checked_on_supersede(now_s, retryable, retry_after_s, jitter));
}

Reconciliation Roster::reconcile(const std::vector<std::string>& current_room_ids) {
    core::RoomReconciliation r = core::RoomRoster::reconcile(current_room_ids);
    return {std::move(r.removed), std::move(r.admitting), std::move(r.resync)};
}

}  // namespace orvu::fuzz
