#pragma once

// Where a message, exception or assertion report was made: the source file
// and line of the caller. As a defaulted argument, KVRSourceLocation::current()
// records the call site. It stands in for std::source_location, which not
// every compiler this project builds with provides (clang 14 with
// libstdc++ 12 has none).

class KVRSourceLocation {
 public:
  constexpr KVRSourceLocation() = default;

  static constexpr KVRSourceLocation current(const char* file = __builtin_FILE(),
                                             int line = __builtin_LINE()) noexcept {
    return KVRSourceLocation(file, line);
  }

  constexpr const char* file_name() const noexcept { return file_; }
  constexpr int line() const noexcept { return line_; }

 private:
  constexpr KVRSourceLocation(const char* file, int line) : file_(file), line_(line) {}

  const char* file_ = "";
  int line_ = 0;
};
