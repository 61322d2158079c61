// Fails every platform call of a run in turn, and checks that each failure
// ends the way it should and that nothing taken is left unreleased.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/chanpipe_main.h"
#include "tests/fake_platform.h"

namespace chanpipe {
namespace {

using fake::FakePlatform;
using fake::Op;
using fake::ReadStep;

struct Scenario {
  const char* mode;
  std::vector<std::string> names;
  std::string data;  // what the source delivers, in two reads
};

struct Outcome {
  int status;
  std::string err;
  std::string delivered;
};

std::string data_of(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) >> 3);
  return bytes;
}

// Builds the machine; `skip` renames one port so it cannot match, `ports`
// limits how many the walk can see.
void build(FakePlatform& fake, const Scenario& s, std::size_t skip, std::size_t ports) {
  for (std::size_t i = 0; i < s.names.size() && i < ports; ++i) {
    std::size_t port = fake.add_port(i == skip ? "\x01skipped" : s.names[i]);
    fake.port(port).data.reads = {ReadStep{s.data.substr(0, 3000), 0},
                                  ReadStep{s.data.substr(3000), 0}};
  }
  fake.std_in.reads = {ReadStep{s.data.substr(0, 3000), 0}, ReadStep{s.data.substr(3000), 0}};
}

Outcome run(FakePlatform& fake, const Scenario& s) {
  std::string mode = s.mode, prog = "chanpipe", name = "chan0";
  char* argv[] = {&prog[0], &mode[0], &name[0], nullptr};
  Outcome out;
  out.status = chanpipe_main(fake, 3, argv);
  out.err = fake.err();
  if (mode == "r") {
    out.delivered = fake.std_out.written;
  } else {
    for (std::size_t i = 0; i < fake.port_count(); ++i) {
      out.delivered += fake.port(i).data.written;
    }
  }
  return out;
}

Outcome reference(const Scenario& s, std::size_t skip, std::size_t ports) {
  FakePlatform fake;
  build(fake, s, skip, ports);
  return run(fake, s);
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The interface a call belongs to: the index of the last enumeration before it.
std::size_t interface_of(const std::vector<std::string>& calls, std::size_t k) {
  for (std::size_t i = k + 1; i-- > 0;) {
    const std::string prefix = "SetupDiEnumDeviceInterfaces(";
    if (calls[i].rfind(prefix, 0) == 0) return std::stoul(calls[i].substr(prefix.size()));
  }
  return 0;
}

void check_every_fault(const Scenario& s) {
  FakePlatform clean;
  build(clean, s, SIZE_MAX, SIZE_MAX);
  Outcome normal = run(clean, s);
  ASSERT_TRUE(clean.all_released());
  const std::vector<std::string> calls = clean.call_texts();
  std::vector<Op> ops;
  for (const auto& call : clean.log()) {
    if (call.op != Op::kPrint) ops.push_back(call.op);
  }

  for (std::size_t k = 0; k < calls.size(); ++k) {
    SCOPED_TRACE("call " + std::to_string(k) + ": " + calls[k]);
    const std::uint32_t error = 1000 + static_cast<std::uint32_t>(k);
    const std::string e = std::to_string(error);
    FakePlatform fake;
    build(fake, s, SIZE_MAX, SIZE_MAX);
    fake.fail_call(k, error);
    Outcome got = run(fake, s);
    EXPECT_TRUE(fake.all_released());
    EXPECT_LE(fake.data_opened, 1);

    const std::size_t iface = interface_of(calls, k);
    // Only the data open passes kFileFlagNoBuffering (with the normal attribute).
    const bool data_open = calls[k].find(", 20000080)") != std::string::npos;
    switch (ops[k]) {
      case Op::kGetClassDevs:
        EXPECT_EQ(got.status, 2);
        EXPECT_EQ(got.err, "SetupDiGetClassDevs Error " + e + "Unable to find chan0\n");
        break;
      case Op::kEnumInterfaces: {
        // The walk ends where the enumeration failed.
        Outcome want = reference(s, SIZE_MAX, iface);
        EXPECT_EQ(got.status, want.status);
        EXPECT_EQ(got.err, want.err);
        break;
      }
      case Op::kDetailQuery:
      case Op::kDetailFetch:
      case Op::kHeapAlloc:
      case Op::kIoControl:
      case Op::kCreateFile: {
        if (data_open) {
          EXPECT_EQ(got.status, 3);
          EXPECT_EQ(got.err, "CreateFile error " + e + "\n");
          EXPECT_EQ(got.delivered, "");
          break;
        }
        // That interface is skipped, with its message first.
        const char* line = ops[k] == Op::kCreateFile  ? "CreateFile error "
                           : ops[k] == Op::kIoControl ? "DeviceIoControl Error "
                                                      : "SetupDiGetDeviceInterfaceDetail Error ";
        Outcome want = reference(s, iface, SIZE_MAX);
        EXPECT_EQ(got.status, want.status);
        EXPECT_EQ(got.err, line + e + "\n" + want.err);
        EXPECT_EQ(got.delivered, want.delivered);
        break;
      }
      case Op::kCloseHandle:
      case Op::kDestroySet:
      case Op::kHeapFree:
        // Their results are not examined.
        EXPECT_EQ(got.status, normal.status);
        EXPECT_EQ(got.err, normal.err);
        EXPECT_EQ(got.delivered, normal.delivered);
        break;
      case Op::kGetStdHandle:
        EXPECT_EQ(got.status, std::string(s.mode) == "r" ? 4 : 5);
        EXPECT_NE(
            got.err.find(std::string(s.mode) == "r" ? "WriteFile error 6\n" : "ReadFile error 6\n"),
            std::string::npos);
        break;
      case Op::kReadFile:
        EXPECT_EQ(got.status, 5);
        EXPECT_TRUE(ends_with(got.err, "ReadFile error " + e + "\n")) << got.err;
        EXPECT_EQ(normal.delivered.rfind(got.delivered, 0), 0u) << "a prefix of the data";
        break;
      case Op::kWriteFile:
        EXPECT_EQ(got.status, 4);
        EXPECT_TRUE(ends_with(got.err, "WriteFile error " + e + "\n")) << got.err;
        break;
      case Op::kPrint:
        break;
    }
  }
}

TEST(FaultInjectionTest, WriteModeWithADuplicateName) {
  check_every_fault({"w", {"alpha", "chan0", "chan0"}, data_of(9000, 1)});
}

TEST(FaultInjectionTest, ReadModeAmongCaseAndPrefixLookalikes) {
  check_every_fault({"r", {"chan0x", "CHAN0", "chan", "chan0", "zeta"}, data_of(5000, 2)});
}

TEST(FaultInjectionTest, NoPortMatches) {
  check_every_fault({"w", {"a", "b", "chan1"}, data_of(4096, 3)});
}

}  // namespace
}  // namespace chanpipe
