#pragma once

#include "VarnelKit/Support/Task.hpp"

namespace varnel::SelfTest {

// Runs both at once and resumes with the value of whichever ends first (rethrowing what it threw).
// The other is asked to stop but not waited for: a test that races a call that may hang against a
// timer must record the hang, not share it. Each side must own what it touches, since the loser
// may outlive the race.
Awaitable<bool> raceFirst(Awaitable<bool> first, Awaitable<bool> second);

} // namespace varnel::SelfTest
