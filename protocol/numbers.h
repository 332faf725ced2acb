#pragma once

#include <optional>
#include <string_view>

namespace qm {

// The one reader of a number a person typed (an option's value, a field of a setting):
// the whole text, plain digits only (hexadecimal ones in base 16), at most six, and from
// `low` to `high`. Refuses " 8", "+8" and "8.0" rather than reading them leniently.
std::optional<int> readNumber(std::string_view text, int low, int high, int base = 10);

} // namespace qm
