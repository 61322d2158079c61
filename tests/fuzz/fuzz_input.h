// Reads a fuzz input front to back as the script of a run. Past the end
// every value is 0, so any input, even an empty one, is a complete script.
#ifndef CHANPIPE_TESTS_FUZZ_FUZZ_INPUT_H_
#define CHANPIPE_TESTS_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace chanpipe::fuzz {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | u8() << 8); }
  std::uint32_t u32() {
    std::uint32_t low = u16();
    return low | static_cast<std::uint32_t>(u16()) << 16;
  }
  // Up to n bytes, fewer when the input runs out.
  std::string bytes(std::size_t n) {
    std::size_t take = n < size_ - at_ ? n : size_ - at_;
    std::string out(reinterpret_cast<const char*>(data_ + at_), take);
    at_ += take;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A broken invariant: say which, and stop so that libFuzzer keeps the input.
[[noreturn]] inline void violated(const char* what, const std::string& detail) {
  std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// An error number as the messages give it: a signed 32-bit decimal.
inline std::string number(std::uint32_t error) {
  return std::to_string(static_cast<std::int32_t>(error));
}

// True when CHANPIPE_FUZZ_SHOW is set: each run then shows its outcome,
// to see what an input does.
inline bool showing() {
  static const bool show = std::getenv("CHANPIPE_FUZZ_SHOW") != nullptr;
  return show;
}

// Standard error as C-escaped text, for the report of a broken invariant.
inline std::string escaped(const std::string& text) {
  std::string out;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\\n";
    } else if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace chanpipe::fuzz

#endif  // CHANPIPE_TESTS_FUZZ_FUZZ_INPUT_H_
