// Plays saved fuzz inputs as scenarios, for builds without libFuzzer: every
// file named on the command line, and every file in a directory named there.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "KVRFuzzScenario.h"

namespace {

void play(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  KVRFuzzRunScenario(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  int played = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path))
        if (entry.is_regular_file()) {
          play(entry.path());
          ++played;
        }
    } else {
      play(path);
      ++played;
    }
  }
  std::printf("%d scenarios played, %llu calls\n", played,
              static_cast<unsigned long long>(KVRFuzzCallsPlayed()));
  return played > 0 ? 0 : 1;
}
