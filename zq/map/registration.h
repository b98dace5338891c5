// Application registrations: the .reg files of $ZQ_ROOT/registration.
#pragma once

#include <string>
#include <vector>

#include "zqw_internal.h"

namespace zq::map {

// The icon classes the page draws.
bool known_icon(const std::string& icon);

// Parses the text of one registration file (name: the file name, for messages).
// Every problem is added to errors as "NAME:LINE: message"; a bad line is left
// out, an application without a valid name line is left out whole.
std::vector<zq::zqw::AppDef> parse_registration(const std::string& text, const std::string& name,
                                                std::vector<std::string>& errors);

// Reads every regular *.reg file of dir in name order.  An application whose
// name an earlier file (or application) took is reported and left out.
std::vector<zq::zqw::AppDef> load_registration_dir(const std::string& dir, std::vector<std::string>& errors);

// Whether a symbol type matches a registered pattern (a trailing '*' matches any rest).
bool type_matches(const std::string& pattern, const std::string& type);

}  // namespace zq::map
