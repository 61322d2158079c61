// The Win32 layer against the real system calls: the answers the logic
// relies on (error numbers, end of a pipe, end of a file, the set-up
// library's empty port class) and the C runtime's text-mode standard error.
#include <gtest/gtest.h>
// After windows.h, which the test helpers bring in.
#include <setupapi.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "discovery/find_port.h"
#include "platform/platform-win32.h"
#include "win32_test_support.h"

namespace {

using chanpipe::Handle;
using namespace chanpipe_test;  // NOLINT: the test helpers

TEST(Win32Reads, PipeWhoseWriterClosedFailsWithBrokenPipe) {
  chanpipe::Win32Platform platform;
  Pipe pipe;
  chanpipe_test::write_all(pipe.writer.get(), "abc");
  pipe.writer.reset();

  char buffer[4096];
  std::uint32_t count = 99;
  // What was written before the close still arrives...
  ASSERT_TRUE(platform.read_file(as_handle(pipe.reader.get()), buffer, sizeof buffer, &count));
  EXPECT_EQ(std::string(buffer, count), "abc");
  // ...then the end shows as ERROR_BROKEN_PIPE, the copy loop's end of source.
  count = 99;
  EXPECT_FALSE(platform.read_file(as_handle(pipe.reader.get()), buffer, sizeof buffer, &count));
  EXPECT_EQ(platform.get_last_error(), chanpipe::kErrorBrokenPipe);
  EXPECT_EQ(count, 0u);
}

TEST(Win32Reads, FileAtItsEndSucceedsWithZeroBytes) {
  chanpipe::Win32Platform platform;
  TempFile file("12345");
  OwnedHandle handle(file.open(GENERIC_READ));

  char buffer[4096];
  std::uint32_t count = 0;
  ASSERT_TRUE(platform.read_file(as_handle(handle.get()), buffer, sizeof buffer, &count));
  EXPECT_EQ(count, 5u);
  // A synchronous read at the end of a file succeeds with nothing: no
  // error 109 ever comes from a file.
  count = 99;
  EXPECT_TRUE(platform.read_file(as_handle(handle.get()), buffer, sizeof buffer, &count));
  EXPECT_EQ(count, 0u);
}

TEST(Win32Reads, ZeroLengthWriteReachesThePipeReaderAsAZeroByteRead) {
  chanpipe::Win32Platform platform;
  Pipe pipe;
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(pipe.writer.get(), "", 0, &written, nullptr));
  chanpipe_test::write_all(pipe.writer.get(), "x");
  pipe.writer.reset();

  char buffer[4096];
  std::uint32_t count = 99;
  ASSERT_TRUE(platform.read_file(as_handle(pipe.reader.get()), buffer, sizeof buffer, &count));
  if (chanpipe_test::running_under_wine()) {
    // Wine drops the empty write: the first read already gets the byte.
    EXPECT_EQ(std::string(buffer, count), "x");
    CHANPIPE_KNOWN_WINE_DIFFERENCE(
        "Windows documents that ReadFile on a pipe succeeds with 0 bytes when the writer wrote 0 "
        "bytes; Wine delivers no such read, so the copy loop's zero-byte read is never seen "
        "from a pipe here");
  }
  EXPECT_EQ(count, 0u);
}

TEST(Win32Failures, ReadAndWriteFailuresCarryTheirErrorNumbers) {
  chanpipe::Win32Platform platform;
  TempFile file("data");
  char buffer[16] = {};
  std::uint32_t count = 0;

  OwnedHandle read_only(file.open(GENERIC_READ));
  EXPECT_FALSE(platform.write_file(as_handle(read_only.get()), "x", 1, &count));
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));

  OwnedHandle write_only(file.open(GENERIC_WRITE));
  EXPECT_FALSE(platform.read_file(as_handle(write_only.get()), buffer, sizeof buffer, &count));
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));

  // A missing standard handle is a null handle.
  EXPECT_FALSE(platform.write_file(0, "x", 1, &count));
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(platform.read_file(0, buffer, sizeof buffer, &count));
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));

  // Writing to a pipe nobody reads: "The pipe is being closed."
  Pipe pipe;
  pipe.reader.reset();
  EXPECT_FALSE(platform.write_file(as_handle(pipe.writer.get()), "x", 1, &count));
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(ERROR_NO_DATA));
}

TEST(Win32Handles, StandardHandlesComeAsTheProcessHasThem) {
  chanpipe::Win32Platform platform;
  Pipe pipe;
  HANDLE saved_input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE saved_output = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, pipe.reader.get());
  SetStdHandle(STD_OUTPUT_HANDLE, pipe.writer.get());
  Handle input = platform.get_std_handle(chanpipe::kStdInputHandle);
  Handle output = platform.get_std_handle(chanpipe::kStdOutputHandle);
  SetStdHandle(STD_INPUT_HANDLE, saved_input);
  SetStdHandle(STD_OUTPUT_HANDLE, saved_output);
  EXPECT_EQ(input, as_handle(pipe.reader.get()));
  EXPECT_EQ(output, as_handle(pipe.writer.get()));
}

TEST(Win32Handles, OpenOfAMissingPortFailsAndCloseReleases) {
  chanpipe::Win32Platform platform;
  const char16_t path[] = u"\\\\?\\root#system#0000#{6fde7521-1b65-48ae-b628-80be62016026}";
  EXPECT_EQ(platform.create_file(path, chanpipe::kGenericRead, 0, chanpipe::kOpenExisting,
                                 chanpipe::kFileAttributeNormal),
            chanpipe::kInvalidHandle);
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));

  // The data open's flags on an ordinary file: the handle is real and
  // closing it releases the file, which share mode 0 held exclusively.
  TempFile file;
  Handle handle = platform.create_file(
      reinterpret_cast<const char16_t*>(file.path().c_str()), chanpipe::kGenericWrite, 0,
      chanpipe::kOpenExisting, chanpipe::kFileFlagNoBuffering | chanpipe::kFileAttributeNormal);
  ASSERT_NE(handle, chanpipe::kInvalidHandle);
  HANDLE second = CreateFileW(file.path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(platform.close_handle(handle));
  OwnedHandle third(file.open(GENERIC_READ));
  EXPECT_NE(third.get(), INVALID_HANDLE_VALUE);
}

TEST(Win32Heap, FailedAllocationLeavesOutOfMemory) {
  chanpipe::Win32Platform platform;
  void* block = platform.heap_alloc(1024);
  ASSERT_NE(block, nullptr);
  platform.heap_free(block);

  SetLastError(0);
  EXPECT_EQ(platform.heap_alloc(static_cast<std::size_t>(-1) / 2), nullptr);
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
}

// No virtio-serial driver is installed here: the set-up library gives an
// empty set for the port class, which the program's not-found runs rely on.
TEST(Win32SetupApi, PortClassHasNoInterfacesHere) {
  chanpipe::Win32Platform platform;
  chanpipe::DevInfoSet set = platform.get_class_devs(
      chanpipe::kPortInterfaceClass, chanpipe::kDigcfPresent | chanpipe::kDigcfDeviceInterface);
  ASSERT_NE(set, chanpipe::kInvalidSet) << "error " << platform.get_last_error();
  chanpipe::InterfaceData data = {};
  data.cb_size = sizeof data;
  EXPECT_EQ(sizeof data, sizeof(void*) == 8 ? 32u : 28u);
  EXPECT_FALSE(platform.enum_device_interfaces(set, chanpipe::kPortInterfaceClass, 0, &data));
  EXPECT_EQ(platform.get_last_error(), static_cast<std::uint32_t>(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(platform.destroy_device_info_list(set));
}

TEST(Win32SetupApi, LookupWithNoPortPrintsTheNotFoundLinesOnly) {
  chanpipe::Win32Platform platform;
  char16_t port_path[chanpipe::kPathUnits];
  for (char16_t& unit : port_path) unit = u'?';
  StderrCapture capture;
  int found = chanpipe::find_port(platform, "chan0", port_path);
  std::string err = capture.finish();
  EXPECT_EQ(found, 0);
  EXPECT_EQ(err,
            "chan0 not found\r\n"
            "Turn UAC off and make sure that chan0 is defined in the VM config.\r\n");
  for (char16_t unit : port_path) ASSERT_EQ(unit, u'?') << "the port path was written";
}

// One device interface of a class of its own, registered for the test and
// removed after it. No driver runs the device, so it is listed only without
// DIGCF_PRESENT; it is never a port.
class PrivateInterface : public testing::Test {
 protected:
  void SetUp() override {
    // A class per process, so that parallel runs in one prefix never meet.
    GUID guid = {
        GetCurrentProcessId(), 0xc4a7, 0x4b1e, {0x8f, 0x52, 0x3d, 0x61, 0x0a, 0x9e, 0x77, 0x14}};
    std::memcpy(&interface_class_, &guid, sizeof guid);
    devices_ = SetupDiCreateDeviceInfoList(&guid, nullptr);
    ASSERT_NE(devices_, INVALID_HANDLE_VALUE);
    device_.cbSize = sizeof device_;
    std::wstring instance = L"ROOT\\CHANPIPETEST\\" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(
        SetupDiCreateDeviceInfoW(devices_, instance.c_str(), &guid, nullptr, nullptr, 0, &device_))
        << GetLastError();
    ASSERT_TRUE(SetupDiRegisterDeviceInfo(devices_, &device_, 0, nullptr, nullptr, nullptr))
        << GetLastError();
    registered_ = true;
    SP_DEVICE_INTERFACE_DATA created = {sizeof created, {}, 0, 0};
    ASSERT_TRUE(SetupDiCreateDeviceInterfaceW(devices_, &device_, &guid, L"chan", 0, &created))
        << GetLastError();
  }

  void TearDown() override {
    if (registered_) {
      EXPECT_TRUE(SetupDiRemoveDevice(devices_, &device_)) << GetLastError();
    }
    if (devices_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(devices_);
  }

  // Lists the class's interfaces and takes the first, as the lookup does.
  chanpipe::DevInfoSet first_interface(chanpipe::InterfaceData* data) {
    chanpipe::DevInfoSet set =
        platform_.get_class_devs(interface_class_, chanpipe::kDigcfDeviceInterface);
    EXPECT_NE(set, chanpipe::kInvalidSet);
    *data = {};
    data->cb_size = sizeof *data;
    EXPECT_TRUE(platform_.enum_device_interfaces(set, interface_class_, 0, data));
    return set;
  }

  chanpipe::Win32Platform platform_;
  chanpipe::Guid interface_class_ = {};

 private:
  HDEVINFO devices_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA device_ = {};
  bool registered_ = false;
};

TEST_F(PrivateInterface, DetailComesFromASizeQueryThenAFetch) {
  chanpipe::InterfaceData data;
  chanpipe::DevInfoSet set = first_interface(&data);
  EXPECT_TRUE(chanpipe::same_guid(data.interface_class, interface_class_));
  chanpipe::InterfaceData next = data;
  EXPECT_FALSE(platform_.enum_device_interfaces(set, interface_class_, 1, &next));
  EXPECT_EQ(platform_.get_last_error(), static_cast<std::uint32_t>(ERROR_NO_MORE_ITEMS));

  // The size query fails, yet reports the size the record needs.
  std::uint32_t size = 0;
  EXPECT_FALSE(platform_.get_device_interface_detail(set, &data, nullptr, 0, &size));
  EXPECT_EQ(platform_.get_last_error(), static_cast<std::uint32_t>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(size, chanpipe::kDetailDeclaredSize);

  // The declared size: 6 on x86 (cbSize and one UTF-16 unit, packed), 8 on x64.
  EXPECT_EQ(chanpipe::kDetailDeclaredSize, sizeof(void*) == 4 ? 6u : 8u);
  auto* detail = static_cast<unsigned char*>(platform_.heap_alloc(size));
  ASSERT_NE(detail, nullptr);
  std::memcpy(detail, &chanpipe::kDetailDeclaredSize, sizeof chanpipe::kDetailDeclaredSize);
  std::uint32_t unused = 0;
  EXPECT_TRUE(platform_.get_device_interface_detail(set, &data, detail, size, &unused))
      << platform_.get_last_error();
  // The path fills the record exactly: its units and the NUL.
  std::u16string path(reinterpret_cast<const char16_t*>(detail + chanpipe::kDetailPathOffset));
  platform_.heap_free(detail);
  EXPECT_EQ(chanpipe::kDetailPathOffset + 2 * (path.size() + 1), size);
  EXPECT_EQ(path.substr(0, 4), u"\\\\?\\");
  EXPECT_EQ(path.substr(path.size() - 5), u"\\chan");
  EXPECT_TRUE(platform_.destroy_device_info_list(set));
}

// The interface record is 28 bytes on x86 and 32 on x64, and the set-up
// library checks cbSize before anything else: a record of the other
// architecture's size is refused by the enumeration and by the detail
// calls, so a layout slip shows as a failed call, never as a record read or
// written at the wrong offsets.
TEST_F(PrivateInterface, InterfaceRecordOfAnotherSizeIsRefused) {
  chanpipe::InterfaceData data;
  chanpipe::DevInfoSet set = first_interface(&data);
  EXPECT_EQ(sizeof data, sizeof(void*) == 4 ? 28u : 32u);
  const std::uint32_t other = sizeof(void*) == 4 ? 32u : 28u;
  std::uint32_t errors[3] = {};
  int accepted = 0;

  chanpipe::InterfaceData wrong = {};
  for (std::uint32_t size : {other, 0u}) {
    wrong.cb_size = size;
    accepted += platform_.enum_device_interfaces(set, interface_class_, 0, &wrong);
    errors[size == 0 ? 1 : 0] = platform_.get_last_error();
  }
  // A record the enumeration filled, with its size then changed.
  wrong = data;
  wrong.cb_size = other;
  std::uint32_t size = 0;
  platform_.get_device_interface_detail(set, &wrong, nullptr, 0, &size);
  errors[2] = platform_.get_last_error();
  EXPECT_EQ(accepted, 0);
  EXPECT_EQ(size, 0u) << "a size was reported for a record of the wrong size";
  EXPECT_TRUE(platform_.destroy_device_info_list(set));

  // Windows documents that cbSize must be sizeof(SP_DEVICE_INTERFACE_DATA);
  // its set-up library refuses any other size with ERROR_INVALID_USER_BUFFER.
  std::string seen;
  bool wine_parameter = false;
  for (std::uint32_t error : errors) {
    seen += " " + std::to_string(error);
    if (chanpipe_test::running_under_wine() && error == ERROR_INVALID_PARAMETER) {
      wine_parameter = true;
      continue;
    }
    EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_INVALID_USER_BUFFER));
  }
  if (wine_parameter) {
    CHANPIPE_KNOWN_WINE_DIFFERENCE(
        "Windows refuses an SP_DEVICE_INTERFACE_DATA whose cbSize is not the platform's size with "
        "ERROR_INVALID_USER_BUFFER (1784); Wine refuses it too, but with ERROR_INVALID_PARAMETER "
        "(87). Errors of the enumeration, of it with cbSize 0, and of the size query:" +
        seen);
  }
}

TEST_F(PrivateInterface, DetailFetchRefusesAnotherDeclaredSize) {
  chanpipe::InterfaceData data;
  chanpipe::DevInfoSet set = first_interface(&data);
  std::uint32_t size = 0;
  platform_.get_device_interface_detail(set, &data, nullptr, 0, &size);
  ASSERT_GT(size, 8u);
  // The declared size of the other architecture: 6 on x64, 8 on x86.
  std::uint32_t wrong = chanpipe::kDetailDeclaredSize == 8 ? 6 : 8;
  auto* detail = static_cast<unsigned char*>(platform_.heap_alloc(size));
  ASSERT_NE(detail, nullptr);
  std::memcpy(detail, &wrong, sizeof wrong);
  std::uint32_t unused = 0;
  int ok = platform_.get_device_interface_detail(set, &data, detail, size, &unused);
  std::uint32_t error = platform_.get_last_error();
  platform_.heap_free(detail);
  platform_.destroy_device_info_list(set);
  if (chanpipe_test::running_under_wine() && ok) {
    CHANPIPE_KNOWN_WINE_DIFFERENCE(
        "Windows documents ERROR_INVALID_USER_BUFFER for a detail record whose cbSize is not "
        "the declared size of SP_DEVICE_INTERFACE_DETAIL_DATA_W; Wine accepts 6 and 8 alike, so "
        "a wrong declared size would go unnoticed here");
  }
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_INVALID_USER_BUFFER));
}

TEST(Win32StandardError, LinesEndInCrLfAndNumbersAreSigned) {
  chanpipe::Win32Platform platform;
  StderrCapture capture;
  platform.print_error("Executing WriteFile\n");
  // The set-up failure has no line end: the next message follows on the
  // same line.
  platform.print_error("SetupDiGetClassDevs Error %d", static_cast<int>(0xE000020Bu));
  platform.print_error("Unable to find %s\n", "chan 0");
  platform.print_error("%s not found\n", "%s%n\xe9");
  EXPECT_EQ(capture.finish(),
            "Executing WriteFile\r\n"
            "SetupDiGetClassDevs Error -536870389Unable to find chan 0\r\n"
            "%s%n\xe9 not found\r\n");
}

}  // namespace
