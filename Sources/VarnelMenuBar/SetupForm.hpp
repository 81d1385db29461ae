#pragma once

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/Enrollment.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace varnel {

// The set-up window's rules as data.
namespace SetupForm {

// Blanks and tabs only: other white space counts as typed text here.
std::string_view trimBlanksAndTabs(std::string_view text);
// Connect is offered while no enrollment runs and a code was typed.
bool connectEnabled(bool isWorking, std::string_view code);
// What the server field is pre-filled with: the saved server's host, with its port and the
// brackets of an IPv6 address, so that enrolling again reaches the same server. None for the
// default server or when nothing is saved.
std::optional<std::string> prefillHost(const std::optional<AgentSettings>& settings);
// A failure about the code itself: the code is then selected for retyping.
bool isCodeFailure(Enrollment::Failure::Kind kind);

} // namespace SetupForm
} // namespace varnel
