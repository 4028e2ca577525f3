#pragma once

// One fuzz input played as a scenario: its bytes are read as a sequence of
// public calls on a small pool of model objects of every class (worlds,
// bodies, parts, cameras, groups, assemblies, frames, tag points, paths,
// attachments, relationships, plain entities). After every call the model
// checker must find nothing around any of them, and a call that is refused
// (an exception of the model, a request status 0, a false answer) must leave
// a snapshot of the whole model unchanged. At the end everything made is
// orphaned, so that a leak left behind is the library's.
//
// A broken rule is written to standard error with the calls that led to it,
// and the process aborts, which the fuzzer reports as a crash.

#include <cstddef>
#include <cstdint>

void KVRFuzzRunScenario(const std::uint8_t* data, std::size_t size);
