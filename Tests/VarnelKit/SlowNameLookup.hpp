#pragma once

#include <chrono>
#include <string>

// The unit tests' getaddrinfo is the system's, except for host names under ".slow.test" (a domain
// that never resolves), whose lookups take a chosen time as a silent name server would:
//   "<milliseconds>.slow.test"           waits, then fails as an unknown name
//   "<milliseconds>.loopback.slow.test"  waits, then answers 127.0.0.1
//   any other name under ".slow.test"    waits 5 seconds, then fails
// It is linked into the test program itself, so it stands in for the system's function for the
// program and for the libraries it loads (libcurl's resolver thread included).
namespace varnel::testing {

std::string slowHostName(std::chrono::milliseconds delay, bool answersLoopback = false);

// Slow lookups that have returned so far, in this process.
int finishedSlowLookups();
// Slow lookups that have begun so far, in this process, and a wait until `count` have.
int startedSlowLookups();
bool waitForStartedSlowLookups(int count, std::chrono::milliseconds limit);

} // namespace varnel::testing
