// The Linux layer against a sysfs and /dev tree of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "cli/copy_streams.h"
#include "discovery/find_port.h"
#include "platform/platform-linux.h"

namespace chanpipe {
namespace {

class LinuxPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/chanpipe-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    sys = root + "/sys";
    dev = root + "/dev";
    mkdir(sys.c_str(), 0755);
    mkdir((sys + "/class").c_str(), 0755);
    mkdir(dev.c_str(), 0755);
  }
  void TearDown() override { std::system(("rm -rf '" + root + "'").c_str()); }

  void add_port(const std::string& node, const std::string& name_file, bool with_node = true) {
    std::string dir = sys + "/class/virtio-ports";
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/" + node).c_str(), 0755);
    std::ofstream(dir + "/" + node + "/name", std::ios::binary) << name_file;
    if (with_node) std::ofstream(dev + "/" + node, std::ios::binary) << "";
  }

  // Runs the lookup, returning the found node path as bytes ("" if none).
  std::string lookup(const char* name, std::string* err = nullptr) {
    LinuxPlatform platform(sys.c_str(), dev.c_str());
    char16_t path[kPathUnits] = {};
    testing::internal::CaptureStderr();
    int found = find_port(platform, name, path);
    std::string text = testing::internal::GetCapturedStderr();
    if (err != nullptr) *err = text;
    std::string bytes;
    for (std::size_t i = 0; found && path[i] != 0; ++i) bytes += static_cast<char>(path[i]);
    return bytes;
  }

  std::string root, sys, dev;
};

TEST_F(LinuxPlatformTest, PortsAreListedInNumericOrderAndOthersIgnored) {
  add_port("vport0p10", "same\n");
  add_port("vport0p2", "same\n");
  add_port("vport1p0", "one\n");
  add_port("vport0p1", "first\n");
  for (const char* junk : {"vport", "vport0", "vport0p", "vportXp1", "vport0p1x", "port0p1"}) {
    add_port(junk, "junk\n");
  }
  EXPECT_EQ(lookup("same"), dev + "/vport0p2");
  EXPECT_EQ(lookup("first"), dev + "/vport0p1");
  EXPECT_EQ(lookup("one"), dev + "/vport1p0");
  std::string err;
  EXPECT_EQ(lookup("junk", &err), "");
  EXPECT_EQ(err,
            "junk not found\nTurn UAC off and make sure that junk is defined in the VM config.\n");
}

TEST_F(LinuxPlatformTest, AMachineWithoutPortsHasNoneAndNoError) {
  std::string err;
  EXPECT_EQ(lookup("chan0", &err), "");
  EXPECT_EQ(err,
            "chan0 not found\nTurn UAC off and make sure that chan0 is defined in the VM "
            "config.\n");
  add_port("vport0p1", "x\n");
  std::system(("rm -rf '" + sys + "/class/virtio-ports/vport0p1'").c_str());
  EXPECT_EQ(lookup("x", &err), "");
  EXPECT_EQ(err.find("SetupDiGetClassDevs"), std::string::npos);
}

TEST_F(LinuxPlatformTest, TheNameProbeNeverOpensThePortNode) {
  add_port("vport0p1", "chan0\n");
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, (dev + "/vport0p1").c_str(),
                              IN_OPEN | IN_ACCESS | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE),
            0);
  EXPECT_EQ(lookup("chan0"), dev + "/vport0p1");
  char events[4096];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "the node was opened";
  EXPECT_EQ(errno, EAGAIN);

  // The data open does open it, which proves the watch works.
  LinuxPlatform platform(sys.c_str(), dev.c_str());
  std::u16string path(u"");
  for (char c : dev + "/vport0p1") path += static_cast<char16_t>(static_cast<unsigned char>(c));
  Handle port = platform.create_file(path.c_str(), kGenericRead, 0, kOpenExisting,
                                     kFileFlagNoBuffering | kFileAttributeNormal);
  ASSERT_NE(port, kInvalidHandle);
  platform.close_handle(port);
  EXPECT_GT(read(watch, events, sizeof events), 0);
  close(watch);
}

TEST_F(LinuxPlatformTest, TheNameRequestAnswersFromSysfs) {
  std::string long_name(600, 'L');
  add_port("vport0p1", "chan0\n");
  add_port("vport0p2", long_name + "\n");
  add_port("vport0p3", "");
  add_port("vport0p4", "two\nlines\n");
  add_port("vport0p5", "gone\n");
  unlink((sys + "/class/virtio-ports/vport0p5/name").c_str());
  LinuxPlatform platform(sys.c_str(), dev.c_str());
  auto request = [&](const std::string& node, unsigned char(&record)[kPortInfoSize],
                     std::uint32_t size = kPortInfoSize) {
    std::u16string path;
    for (char c : dev + "/" + node) path += static_cast<char16_t>(static_cast<unsigned char>(c));
    Handle probe =
        platform.create_file(path.c_str(), kGenericRead, 0, kOpenExisting, kFileAttributeNormal);
    EXPECT_NE(probe, kInvalidHandle);
    std::memset(record, 0xee, sizeof record);
    std::uint32_t returned = 0;
    int ok = platform.device_io_control(probe, kPortInfoRequest, record, size, &returned);
    platform.close_handle(probe);
    return ok;
  };
  unsigned char record[kPortInfoSize];
  ASSERT_TRUE(request("vport0p1", record));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record), 13),
            std::string(7, '\0') + std::string("chan0\0", 6));
  EXPECT_TRUE(record_names(record, "chan0"));
  ASSERT_TRUE(request("vport0p2", record));
  EXPECT_TRUE(record_names(record, long_name.substr(0, 504).c_str()));
  ASSERT_TRUE(request("vport0p3", record));
  EXPECT_TRUE(record_names(record, ""));
  ASSERT_TRUE(request("vport0p4", record));
  EXPECT_TRUE(record_names(record, "two\nlines"));
  EXPECT_FALSE(request("vport0p5", record));
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(ENOENT));
  EXPECT_FALSE(request("vport0p1", record, kPortInfoSize - 1));
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(EINVAL));
}

TEST_F(LinuxPlatformTest, DataMovesThroughThePortAndErrorsAreErrnoValues) {
  add_port("vport0p1", "chan0\n");
  LinuxPlatform platform(sys.c_str(), dev.c_str());
  std::u16string path;
  for (char c : dev + "/vport0p1") path += static_cast<char16_t>(static_cast<unsigned char>(c));
  Handle out = platform.create_file(path.c_str(), kGenericWrite, 0, kOpenExisting,
                                    kFileFlagNoBuffering | kFileAttributeNormal);
  ASSERT_NE(out, kInvalidHandle);
  std::uint32_t count = 0;
  ASSERT_TRUE(platform.write_file(out, "bytes\r\n\0x", 9, &count));
  EXPECT_EQ(count, 9u);
  platform.close_handle(out);

  Handle in = platform.create_file(path.c_str(), kGenericRead, 0, kOpenExisting,
                                   kFileFlagNoBuffering | kFileAttributeNormal);
  ASSERT_NE(in, kInvalidHandle);
  char buffer[16];
  ASSERT_TRUE(platform.read_file(in, buffer, sizeof buffer, &count));
  EXPECT_EQ(std::string(buffer, count), std::string("bytes\r\n\0x", 9));
  ASSERT_TRUE(platform.read_file(in, buffer, sizeof buffer, &count));
  EXPECT_EQ(count, 0u) << "the end of a file is an empty read";
  platform.close_handle(in);

  std::u16string missing = path + u"9";
  EXPECT_EQ(
      platform.create_file(missing.c_str(), kGenericRead, 0, kOpenExisting, kFileFlagNoBuffering),
      kInvalidHandle);
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(ENOENT));
  std::u16string wide = path + u"\x4e2d";
  EXPECT_EQ(platform.create_file(wide.c_str(), kGenericRead, 0, kOpenExisting, 0), kInvalidHandle);
  EXPECT_EQ(platform.get_std_handle(kStdInputHandle), 0);
  EXPECT_EQ(platform.get_std_handle(kStdOutputHandle), 1);
}

TEST_F(LinuxPlatformTest, AWriteToAClosedPipeFailsWithEpipeInsteadOfKillingTheProcess) {
  LinuxPlatform platform(sys.c_str(), dev.c_str());
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  std::uint32_t count = 0;
  EXPECT_FALSE(platform.write_file(fds[1], "x", 1, &count));
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(EPIPE));

  // And the copy loop turns it into status 4 after the progress lines.
  int source[2];
  ASSERT_EQ(pipe(source), 0);
  ASSERT_EQ(write(source[1], "data", 4), 4);
  close(source[1]);
  testing::internal::CaptureStderr();
  EXPECT_EQ(copy_streams(platform, source[0], fds[1]), 4);
  EXPECT_EQ(
      testing::internal::GetCapturedStderr(),
      "Executing WriteFile\nFinished WriteFile\nWriteFile error " + std::to_string(EPIPE) + "\n");
  close(source[0]);
  close(fds[1]);
}

TEST_F(LinuxPlatformTest, NodePathsWithEightBitBytesRoundTrip) {
  dev = root + "/d\xe9v";
  mkdir(dev.c_str(), 0755);
  add_port("vport2p3", "chan0\n");
  std::string found = lookup("chan0");
  EXPECT_EQ(found, dev + "/vport2p3");
}

}  // namespace
}  // namespace chanpipe
