#pragma once

#include "VarnelKit/Agent/VarnelAgent.hpp"

#include <string>
#include <string_view>

namespace varnel::StatusLine {

// The agent's status as both programs print it: the case name, and for the two cases that carry
// text, the text quoted after its label: "connected", "disconnected(reason: \"No network\")",
// "updateRequired(minimumVersion: \"2.0.0\")".
std::string text(const VarnelAgent::Status& status);

// The text between double quotes, with '"' and '\' escaped by a backslash, line feed, carriage
// return, tab and NUL as \n, \r, \t and \0, and any other control character as \u{hex}, so that a
// reason from the server always stays on one line.
std::string quoted(std::string_view text);

} // namespace varnel::StatusLine
