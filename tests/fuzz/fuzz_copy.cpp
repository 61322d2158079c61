// A whole run, `chanpipe r c` or `chanpipe w c`, with a port named c whose
// data open, reads and writes the input scripts: reads of 0 to 4096 bytes,
// failing with any number, or claiming a count other than what they
// delivered; writes taking all, part, nothing, or failing; and the number
// with which the source ends. Each run is checked against an oracle that
// works the outcome out from the script alone.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "cli/chanpipe_main.h"
#include "cli/copy_streams.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_input.h"

namespace chanpipe::fuzz {
namespace {

using fake::FakePlatform;
using fake::Op;
using fake::ReadStep;
using fake::WriteStep;

constexpr std::size_t kMaxSteps = 32;
// Stands for a number the rules leave open in the expected standard error.
constexpr char kAnyNumber = '\x01';

struct Script {
  bool writing = false;  // mode "w"
  bool open_fails = false;
  std::uint32_t open_error = 0;
  std::uint32_t end_error = kErrorBrokenPipe;
  std::deque<ReadStep> reads;
  std::deque<WriteStep> writes;
};

Script read_script(Input& in) {
  Script s;
  std::uint8_t flags = in.u8();
  s.writing = flags & 1;
  s.open_fails = flags & 2;
  if (s.open_fails) s.open_error = in.u32();
  if (flags & 4) s.end_error = in.u32();

  std::size_t reads = in.u8() % (kMaxSteps + 1);
  for (std::size_t i = 0; i < reads; ++i) {
    ReadStep step;
    std::uint8_t kind = in.u8();
    if (kind & 1) {
      step.error = in.u32();  // 0 is no failure: the step then reads nothing
    } else {
      std::size_t size = in.u16() % (kChunkSize + 1);
      step.bytes = in.bytes(std::min<std::size_t>(size, in.u8()));
      // The rest follows a pattern that differs from step to step, so
      // that lost, repeated or reordered bytes show.
      for (std::size_t b = step.bytes.size(); b < size; ++b) {
        step.bytes += static_cast<char>(kind + b * 7 + i * 13);
      }
      if (kind & 2) step.claim = in.u32();  // the count reported is a lie
    }
    s.reads.push_back(step);
  }
  std::size_t writes = in.u8() % (kMaxSteps + 1);
  for (std::size_t i = 0; i < writes; ++i) {
    WriteStep step;
    switch (in.u8() % 3) {
      case 0:
        step.error = in.u32();  // 0 is no failure: the step then takes all
        break;
      case 1:
        step.accept = in.u16() % (kChunkSize + 1);  // short, or nothing at all
        break;
      default:
        break;  // takes all
    }
    s.writes.push_back(step);
  }
  return s;
}

struct Expected {
  int status = 0;
  std::string err;
  std::string delivered;
  std::string known;  // '1' where delivered is known, '0' where it is whatever the buffer held
  std::vector<std::uint32_t> write_sizes;
};

Expected expect(Script s) {
  Expected e;
  if (s.open_fails) {
    e.status = 3;
    e.err = "CreateFile error " + number(s.open_error) + "\n";
    return e;
  }
  for (;;) {
    // Past its script the source fails, with any number, 0 included.
    bool failed = s.reads.empty();
    ReadStep read;
    read.error = s.end_error;
    if (!failed) {
      read = s.reads.front();
      s.reads.pop_front();
      failed = read.error != 0;
    }
    if (failed) {
      if (read.error == kErrorBrokenPipe) return e;  // the source ended
      e.status = 5;
      e.err += "ReadFile error " + number(read.error) + "\n";
      return e;
    }
    // A read claiming more than was asked for is held to the chunk; past
    // what was delivered the chunk holds whatever it held.
    std::size_t count = read.bytes.size();
    if (read.claim != 0) count = std::min<std::size_t>(read.claim, kChunkSize);
    if (count == 0) return e;  // the end of a file
    std::string rest = read.bytes.substr(0, count);
    std::string rest_known(rest.size(), '1');
    rest.resize(count, '?');
    rest_known.resize(count, '0');
    // The chunk goes out whole, however many writes that takes.
    while (!rest.empty()) {
      e.err += "Executing WriteFile\n";
      e.write_sizes.push_back(static_cast<std::uint32_t>(rest.size()));
      WriteStep write;
      if (!s.writes.empty()) {
        write = s.writes.front();
        s.writes.pop_front();
      }
      e.err += "Finished WriteFile\n";
      if (write.error != 0) {
        e.status = 4;
        e.err += "WriteFile error " + number(write.error) + "\n";
        return e;
      }
      std::size_t taken = std::min<std::size_t>(write.accept, rest.size());
      if (taken == 0) {
        // A write that takes nothing fails; no call failed, so its number
        // is whatever the machine last reported.
        e.status = 4;
        e.err += std::string("WriteFile error ") + kAnyNumber + "\n";
        return e;
      }
      e.delivered += rest.substr(0, taken);
      e.known += rest_known.substr(0, taken);
      rest.erase(0, taken);
      rest_known.erase(0, taken);
    }
  }
}

bool decimal(const std::string& text) {
  std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
  return text.size() > start &&
         std::all_of(text.begin() + static_cast<std::ptrdiff_t>(start), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

bool matches(const std::string& actual, const std::string& expected) {
  std::size_t any = expected.find(kAnyNumber);
  if (any == std::string::npos) return actual == expected;
  std::string head = expected.substr(0, any);
  std::string tail = expected.substr(any + 1);
  return actual.size() > head.size() + tail.size() && actual.compare(0, head.size(), head) == 0 &&
         actual.compare(actual.size() - tail.size(), tail.size(), tail) == 0 &&
         decimal(actual.substr(head.size(), actual.size() - head.size() - tail.size()));
}

bool same_bytes(const std::string& actual, const Expected& want) {
  if (actual.size() != want.delivered.size()) return false;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (want.known[i] == '1' && actual[i] != want.delivered[i]) return false;
  }
  return true;
}

// The fake, with checks of the handles and arguments of every transfer.
class CheckedFake : public FakePlatform {
 public:
  explicit CheckedFake(bool writing) : writing_(writing) {}
  std::string breaches;

  Handle create_file(const char16_t* path, std::uint32_t access, std::uint32_t share_mode,
                     std::uint32_t disposition, std::uint32_t flags) override {
    if ((flags & kFileFlagNoBuffering) &&
        (access != (writing_ ? kGenericWrite : kGenericRead) || share_mode != 0 ||
         disposition != kOpenExisting || flags != (kFileFlagNoBuffering | kFileAttributeNormal))) {
      breaches += "the data open has the wrong arguments\n";
    }
    return FakePlatform::create_file(path, access, share_mode, disposition, flags);
  }
  int read_file(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) override {
    if (size != kChunkSize) breaches += "a read of other than 4096 bytes\n";
    if ((handle == fake::kFakeStdIn) != writing_) breaches += "a read from the wrong side\n";
    return FakePlatform::read_file(handle, buffer, size, read);
  }
  int write_file(Handle handle, const void* buffer, std::uint32_t size,
                 std::uint32_t* written) override {
    if ((handle == fake::kFakeStdOut) == writing_) breaches += "a write to the wrong side\n";
    return FakePlatform::write_file(handle, buffer, size, written);
  }

 private:
  bool writing_;
};

void run(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  Script script = read_script(in);
  Expected want = expect(script);

  CheckedFake fake(script.writing);
  fake::Port& port = fake.port(fake.add_port("c"));
  fake::Stream& source = script.writing ? fake.std_in : port.data;
  fake::Stream& destination = script.writing ? port.data : fake.std_out;
  source.reads = script.reads;
  source.end_error = script.end_error;
  destination.writes = script.writes;
  // The probe is the first open; the data open is the second.
  if (script.open_fails) fake.fail_nth(Op::kCreateFile, 1, script.open_error);

  char program[] = "chanpipe";
  char mode[] = {script.writing ? 'w' : 'r', '\0'};
  char name[] = "c";
  char* argv[] = {program, mode, name, nullptr};
  int status = chanpipe_main(fake, 3, argv);

  std::string detail = "status " + std::to_string(status) + ", expected " +
                       std::to_string(want.status) + "\nstderr: " + escaped(fake.err()) +
                       "\nexpected: " + escaped(want.err);
  if (showing()) {
    std::fprintf(stderr, "%zu bytes delivered in %zu writes\n%s\n", destination.written.size(),
                 destination.write_sizes.size(), detail.c_str());
  }
  if (status != want.status) violated("exit status", detail);
  if (!matches(fake.err(), want.err)) violated("standard error", detail);
  if (!same_bytes(destination.written, want)) violated("the bytes delivered, in order", detail);
  if (destination.write_sizes != want.write_sizes) violated("the size of each write", detail);
  if (script.open_fails && (fake.count(Op::kReadFile) || fake.count(Op::kWriteFile))) {
    violated("a transfer after a failed open", detail);
  }
  if (!fake.all_released()) violated("the probe and set released", detail);
  if (!fake.breaches.empty()) violated("handles and arguments", fake.breaches + detail);
}

}  // namespace
}  // namespace chanpipe::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  chanpipe::fuzz::run(data, size);
  return 0;
}
