// Conversion of one store event, or one of its participants, into its output record, with
// every text capped in user-perceived characters.
#pragma once

#include <cstddef>
#include <optional>

#include "output_records.h"
#include "store/calendar_store.h"

namespace vandrelis {

inline constexpr std::size_t kTitleCap = 512;
inline constexpr std::size_t kNotesCap = 20000;
inline constexpr std::size_t kUrlCap = 2048;
inline constexpr std::size_t kLocationCap = 1024;
inline constexpr std::size_t kAttendeeCap = 100;
inline constexpr std::size_t kNameCap = 256;
inline constexpr std::size_t kEmailCap = 320;

// Nothing for a canceled event, one without a start or an end date, or one without a
// calendar; of such an event nothing is read past the property that rules it out.
std::optional<EventOutput> eventOutput(const store::Event& event);

PartyOutput partyOutput(const store::Participant& participant);

}  // namespace vandrelis
