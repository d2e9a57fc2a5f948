// The IANA zone a TZID names, as calendar programs write them: an IANA identifier, a path
// ending in one ("/citadel.org/20190101_1/Europe/Berlin"), or a Windows zone name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vandrelis::store {

// The IANA identifier a TZID stands for in the system's database: the TZID itself (surrounding
// blanks aside), its last one to three "/" segments after a leading "/prefix/" path, or the
// zone a Windows zone name maps to; none when no such zone exists or the TZID is longer than
// any such name could be.
std::optional<std::string> ianaZoneForTzid(std::string_view tzid);

}  // namespace vandrelis::store
