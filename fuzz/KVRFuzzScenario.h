#pragma once

// One fuzz input played as a scenario: its bytes are read as a sequence of
// public calls on a small pool of model objects of every class (worlds,
// bodies, parts, cameras, groups, assemblies, frames, tag points, paths,
// attachments, relationships, plain entities). What is checked, and when:
//   - after every call, the model checker around what the call reached: the
//     entities it picked or made, with what is linked to them, what it
//     unlinked from them, and everything below those whose own state it
//     changed (where a move or a flush goes on);
//   - a call that is refused (an exception of the model, a request status 0,
//     a false answer) must leave its region as it was: every entity it
//     picked and every entity linked to one of them, as described before it;
//   - every 16th call, when refused, must also leave a digest of the whole
//     model unchanged;
//   - every 100th call and after the last, the checker goes through the
//     whole model.
// At the end everything made is orphaned, so that a leak left behind is the
// library's.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "KVRBasicEntity.h"

// A call of the caller's own, played for op 51 in place of the queries (to
// test the checks themselves): it gets the entity the input picks, and
// answers whether it was refused.
using KVRFuzzExtraCall = std::function<bool(const KVRSharedHandle<KVRBasicEntity>&)>;

// Plays the input; returns the first broken rule with the calls that led to
// it, or an empty string.
std::string KVRFuzzPlayScenario(const std::uint8_t* data, std::size_t size,
                                const KVRFuzzExtraCall& extra = {});

// Plays the input; a broken rule is written to standard error and the process
// aborts, which the fuzzer reports as a crash.
void KVRFuzzRunScenario(const std::uint8_t* data, std::size_t size);

// The calls played (and checked) by this process so far.
std::uint64_t KVRFuzzCallsPlayed();
