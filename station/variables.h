#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ftmd::station {

// Templates: command texts and expected replies with "{name}" where a unit's
// value goes. A "{" followed by a name (a letter or "_", then letters, digits
// and "_") and "}" is a variable; every other "{" is literal text, so regular expressions keep
// their quantifiers ("[0-9]{2}").

// The variables a unit provides (see units.h for their values).
inline constexpr std::string_view kVariableNames[] = {
    "sn",               // product serial number
    "csn",              // customer serial number
    "lan4_mac",         // Mac1, command form: 12 upper-case hex digits
    "lan3_mac",         // Mac2, command form
    "lan4_mac_colons",  // Mac1, stored form: 00:1B:2C:3D:4E:5F
    "lan3_mac_colons",  // Mac2, stored form
    "sn_report",        // sn as the Autotest report lists it (cut at 19, line end when it fits)
    "csn_report",       // csn likewise
};
bool is_variable_name(std::string_view name);

using Values = std::map<std::string, std::string, std::less<>>;

// The variable references of a template, in order (repeats included).
// Nothing and the reason in `error` when a name is neither a unit's variable
// nor one of `also_known` (the values scanned by earlier steps).
std::optional<std::vector<std::string>> template_variables(std::string_view text, std::string* error,
                                                           const std::vector<std::string>& also_known = {});

// The template with each variable replaced by its value (a missing value
// gives the empty text; the unit checks make sure none is missing).
std::string fill(std::string_view text, const Values& values);
// The same for a regular expression: values are escaped so that they match
// themselves literally.
std::string fill_regex(std::string_view text, const Values& values);
std::string regex_escape(std::string_view text);

}  // namespace ftmd::station
