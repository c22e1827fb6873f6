#include "core/participants.hpp"

#include <unordered_set>

namespace orvu::core {

Outcome<Participant> read_participant(const JsonValue& value) {
    if (!value.is_object()) return Refusal::type("participant must be a mapping");
    const JsonValue* id = value.find("id");
    if (!id || !id->is_string()) return Refusal::type("participant field `id` must be a string");

    Participant out;
    out.id = id->as_string();
    for (std::size_t i = 0; i < kParticipantFields.size(); ++i) {
        const JsonValue* field = value.find(kParticipantFields[i]);
        if (!field || field->is_null()) continue;
        if (!field->is_string()) {
            return Refusal::type("participant field `" + std::string(kParticipantFields[i]) +
                                 "` must be a string or None");
        }
        out.fields[i] = field->as_string();
    }
    return out;
}

void merge_fields(ParticipantFields& stored, const ParticipantFields& incoming) {
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (incoming[i] && !incoming[i]->empty()) stored[i] = incoming[i];
    }
}

bool ParticipantRoster::add(Participant participant) {
    if (ParticipantFields* stored = participants_.find(participant.id)) {
        merge_fields(*stored, participant.fields);
        return false;
    }
    participants_.insert_back(participant.id, std::move(participant.fields));
    return true;
}

bool ParticipantRoster::remove(const std::string& id) { return participants_.erase(id); }

Outcome<> ParticipantRoster::set_all(std::vector<Participant> snapshot) {
    Issues issues;
    std::unordered_set<std::string_view, KeyHash<std::string>> seen;  // keyed hash: ids from peers
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        const std::string& id = snapshot[i].id;
        if (!seen.insert(id).second) {
            add_issue(issues, path_field(path_index("participants", i), "id"), IssueCode::InvalidValue,
                      "duplicate participant id `" + id + "` in set_all snapshot");
        }
    }
    if (!issues.empty()) return Refusal::validation(std::move(issues));

    OrderedMap<std::string, ParticipantFields> next;
    for (Participant& incoming : snapshot) {
        if (const ParticipantFields* stored = participants_.find(incoming.id)) {
            ParticipantFields merged = *stored;
            merge_fields(merged, incoming.fields);
            next.insert_back(incoming.id, std::move(merged));
        } else {
            next.insert_back(incoming.id, std::move(incoming.fields));
        }
    }
    participants_ = std::move(next);
    return accept();
}

std::vector<Participant> ParticipantRoster::list() const {
    std::vector<Participant> out;
    out.reserve(participants_.size());
    for (const auto& [id, fields] : participants_) out.push_back(Participant{id, fields});
    return out;
}

bool ParticipantRoster::changed() const {
    if (!sent_) return true;
    if (sent_->size() != participants_.size()) return true;
    auto sent = sent_->begin();
    for (const auto& [id, fields] : participants_) {
        if (sent->id != id || sent->fields != fields) return true;
        ++sent;
    }
    return false;
}

void ParticipantRoster::mark_sent() {
    // An unchanged roster is what was sent already: no copy to make.
    if (changed()) sent_ = list();
}

}  // namespace orvu::core
