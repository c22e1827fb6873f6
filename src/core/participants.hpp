// The passive participant roster: the participants of the agent's current
// conversation as the platform describes them, merged from updates, replaced
// from authoritative snapshots, and compared with what was last sent on.
#pragma once

#include "core/json.hpp"
#include "core/ordered.hpp"
#include "core/refusal.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvu::core {

// The optional fields of a participant, in the order they are read and listed.
inline constexpr std::array<std::string_view, 4> kParticipantFields{"name", "type", "handle", "description"};

using ParticipantFields = std::array<std::optional<std::string>, kParticipantFields.size()>;

struct Participant {
    std::string id;
    ParticipantFields fields;  // indexed like kParticipantFields; nullopt when absent

    bool operator==(const Participant&) const = default;
};

// Reads a participant from its JSON form: the record, or a type refusal
// naming what is wrong with its shape. Keys other than `id` and the four
// fields are dropped.
Outcome<Participant> read_participant(const JsonValue& value);

// Refreshes `stored` from `incoming`: only a non-empty incoming string
// replaces a field; an absent or empty one keeps what is stored.
void merge_fields(ParticipantFields& stored, const ParticipantFields& incoming);

class ParticipantRoster {
public:
    // True when newly added, false when an existing id was merged in place.
    bool add(Participant participant);
    bool remove(const std::string& id);
    // Replaces the roster from a snapshot. A snapshot that repeats an id is
    // refused whole, with one issue per repeat, and nothing changes.
    Outcome<> set_all(std::vector<Participant> snapshot);
    std::vector<Participant> list() const;
    bool changed() const;
    void mark_sent();

private:
    OrderedMap<std::string, ParticipantFields> participants_;
    std::optional<std::vector<Participant>> sent_;
};

}  // namespace orvu::core
