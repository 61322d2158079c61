#include "cli/chanpipe_main.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fake_platform.h"

namespace chanpipe {
namespace {

using fake::FakePlatform;
using fake::Op;
using fake::ReadStep;

const char kUsage[] = "Usage: chanpipe [r|w] [channel name]\n";

int run(FakePlatform& fake, std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  return chanpipe_main(fake, static_cast<int>(args.size()), argv.data());
}

TEST(ChanpipeMainTest, BadArgumentsPrintTheUsageLineAndTouchNothing) {
  std::vector<std::vector<std::string>> cases = {{"chanpipe"},
                                                 {"chanpipe", "r"},
                                                 {"chanpipe", "R", "chan0"},
                                                 {"chanpipe", "W", "chan0"},
                                                 {"chanpipe", "rw", "chan0"},
                                                 {"chanpipe", "read", "chan0"},
                                                 {"chanpipe", "", "chan0"},
                                                 {"chanpipe", "r ", "chan0"},
                                                 {"chanpipe", "-r", "chan0"}};
  for (const auto& args : cases) {
    FakePlatform fake;
    fake.add_port("chan0");
    EXPECT_EQ(run(fake, args), 1) << args.size();
    EXPECT_EQ(fake.err(), kUsage);
    EXPECT_EQ(fake.call_count(), 0u);
  }
}

TEST(ChanpipeMainTest, ReadModeCopiesThePortToStandardOutputOnly) {
  FakePlatform fake;
  fake.add_port("other");
  std::size_t port = fake.add_port("chan0");
  fake.port(port).data.reads = {ReadStep{"from the host", 0}};
  fake.std_in.reads = {ReadStep{"must stay", 0}};
  EXPECT_EQ(run(fake, {"chanpipe", "r", "chan0"}), 0);
  EXPECT_EQ(fake.std_out.written, "from the host");
  EXPECT_EQ(fake.std_in.reads.size(), 1u) << "standard input is never read";
  EXPECT_EQ(fake.port(port).data.written, "");
  std::vector<std::string> calls = fake.call_texts();
  std::vector<std::string> tail(calls.end() - 6, calls.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"SetupDiDestroyDeviceInfoList()",
                                            "CreateFile(\\\\?\\port#1, 80000000, 0, 3, 20000080)",
                                            "GetStdHandle(-11)", "ReadFile(4096)", "WriteFile(13)",
                                            "ReadFile(4096)"}));
  EXPECT_EQ(fake.data_closed, 0) << "the port is left to process exit";
  EXPECT_TRUE(fake.all_released());
}

TEST(ChanpipeMainTest, WriteModeCopiesStandardInputToThePortOnly) {
  FakePlatform fake;
  std::size_t port = fake.add_port("chan0");
  fake.port(port).data.reads = {ReadStep{"must stay", 0}};
  fake.std_in.reads = {ReadStep{"to the host", 0}};
  // A third argument is ignored.
  EXPECT_EQ(run(fake, {"chanpipe", "w", "chan0", "extra"}), 0);
  EXPECT_EQ(fake.port(port).data.written, "to the host");
  EXPECT_EQ(fake.std_out.written, "");
  EXPECT_EQ(fake.port(port).data.reads.size(), 1u);
  std::vector<std::string> calls = fake.call_texts();
  std::vector<std::string> tail(calls.end() - 5, calls.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"CreateFile(\\\\?\\port#0, 40000000, 0, 3, 20000080)",
                                            "GetStdHandle(-10)", "ReadFile(4096)", "WriteFile(11)",
                                            "ReadFile(4096)"}));
  EXPECT_EQ(fake.err(), "Executing WriteFile\nFinished WriteFile\n");
}

TEST(ChanpipeMainTest, FailuresEndWithTheirStatusAndLastLine) {
  {
    FakePlatform fake;
    fake.add_port("chan1");
    EXPECT_EQ(run(fake, {"chanpipe", "w", "chan0"}), 2);
    EXPECT_EQ(fake.err(),
              "chan0 not found\n"
              "Turn UAC off and make sure that chan0 is defined in the VM config.\n"
              "Unable to find chan0\n");
    EXPECT_EQ(fake.data_opened, 0);
  }
  {
    FakePlatform fake;
    fake.set_creation_fails = true;
    fake.set_error = 5;
    EXPECT_EQ(run(fake, {"chanpipe", "r", "chan0"}), 2);
    EXPECT_EQ(fake.err(), "SetupDiGetClassDevs Error 5Unable to find chan0\n");
  }
  {
    FakePlatform fake;
    fake.add_port("chan0");
    fake.fail_nth(Op::kCreateFile, 1, 32);  // the data open
    EXPECT_EQ(run(fake, {"chanpipe", "r", "chan0"}), 3);
    EXPECT_EQ(fake.err(), "CreateFile error 32\n");
    EXPECT_EQ(fake.count(Op::kReadFile) + fake.count(Op::kWriteFile), 0u);
  }
  {
    FakePlatform fake;
    std::size_t port = fake.add_port("chan0");
    fake.port(port).data.reads = {ReadStep{"x", 0}};
    fake.fail_nth(Op::kGetStdHandle, 0, 6);  // no usable standard output
    EXPECT_EQ(run(fake, {"chanpipe", "r", "chan0"}), 4);
    EXPECT_EQ(fake.err(), "Executing WriteFile\nFinished WriteFile\nWriteFile error 6\n");
  }
}

TEST(ChanpipeMainTest, TheChannelNameIsNeverTakenAsAFormat) {
  FakePlatform fake;
  EXPECT_EQ(run(fake, {"chanpipe", "r", "%s%n%d%%"}), 2);
  EXPECT_EQ(fake.err(),
            "%s%n%d%% not found\n"
            "Turn UAC off and make sure that %s%n%d%% is defined in the VM config.\n"
            "Unable to find %s%n%d%%\n");
}

}  // namespace
}  // namespace chanpipe
