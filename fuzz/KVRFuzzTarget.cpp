// The libFuzzer entry point.

#include "KVRFuzzScenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  KVRFuzzRunScenario(data, size);
  return 0;
}
