// The operations chanpipe needs from the machine: device set-up, file and
// device I/O, the heap and standard error. The logic sees nothing else, so
// a scripted machine can stand in for a real one.
//
// The interface is abstract so that the logic runs unchanged on Windows
// (platform-win32), on Linux's virtio-serial ports (platform-linux) and
// against the tests' scripted machine. Its operations follow the Windows
// calls one for one, arguments and results included, because the order of
// those calls and the messages printed about them are the tool's contract:
// each layer maps them, and none adds, merges or reorders a call.
//
// Results: an `int` is nonzero on success and 0 on failure, a handle or a
// set is invalid on failure. A failed operation leaves its reason for
// get_last_error(), which the caller reads before any other call, printing
// included (the C runtime may change it).
//
// create_file has two kinds of caller, told apart by kFileFlagNoBuffering:
//   - the lookup's name probe opens a port without it, only to ask the port
//     its name (device_io_control) and close it at once; a layer may give
//     a handle that can do no more than that (Linux: O_PATH, so that the
//     driver never sees an open);
//   - the run's data open passes it, for the one direction of the mode.
#ifndef CHANPIPE_PLATFORM_PLATFORM_H_
#define CHANPIPE_PLATFORM_PLATFORM_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace chanpipe {

// Same layout as the system's GUID.
struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};

bool same_guid(const Guid& a, const Guid& b);

// Same layout as SP_DEVICE_INTERFACE_DATA: 28 bytes on 32-bit x86, 32 on x64.
struct InterfaceData {
  std::uint32_t cb_size;
  Guid interface_class;
  std::uint32_t flags;
  std::uintptr_t reserved;
};

// SP_DEVICE_INTERFACE_DETAIL_DATA_W is a 4-byte cbSize followed by the
// UTF-16 path. The set-up library packs it to 1 byte on 32-bit Windows
// (declared size 6) and to 8 bytes on 64-bit Windows (declared size 8).
constexpr std::uint32_t kDetailDeclaredSize = sizeof(void*) == 4 ? 6 : 8;
constexpr std::uint32_t kDetailPathOffset = 4;

using Handle = std::intptr_t;
using DevInfoSet = std::intptr_t;
constexpr Handle kInvalidHandle = -1;  // INVALID_HANDLE_VALUE
constexpr DevInfoSet kInvalidSet = -1;

constexpr std::uint32_t kDigcfPresent = 0x02;
constexpr std::uint32_t kDigcfDeviceInterface = 0x10;

constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kGenericWrite = 0x40000000u;
constexpr std::uint32_t kOpenExisting = 3;
constexpr std::uint32_t kFileAttributeNormal = 0x00000080u;
constexpr std::uint32_t kFileFlagNoBuffering = 0x20000000u;

constexpr std::int32_t kStdInputHandle = -10;
constexpr std::int32_t kStdOutputHandle = -11;

constexpr std::uint32_t kErrorBrokenPipe = 109;

// Port paths are UTF-16, at most 259 code units plus the NUL.
constexpr std::size_t kPathUnits = 260;

// Lets the compiler check every format against its arguments.
#if defined(__GNUC__)
#define CHANPIPE_PRINTF_LIKE(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define CHANPIPE_PRINTF_LIKE(format_index, first_arg)
#endif

class Platform {
 public:
  virtual ~Platform() = default;

  // SetupDiGetClassDevsW: a set of the present interfaces of the class, or
  // kInvalidSet on failure.
  virtual DevInfoSet get_class_devs(const Guid& interface_class, std::uint32_t flags) = 0;
  // SetupDiEnumDeviceInterfaces: nonzero with *data filled (its cb_size set
  // by the caller) while index names an interface, 0 past the last one.
  virtual int enum_device_interfaces(DevInfoSet set, const Guid& interface_class,
                                     std::uint32_t index, InterfaceData* data) = 0;
  // SetupDiGetDeviceInterfaceDetailW: with detail null and detail_size 0 (the
  // size query), 0 with the record's byte size in *required; with a record
  // whose cb_size is kDetailDeclaredSize, nonzero when it holds the path, NUL
  // included, or 0 on failure.
  virtual int get_device_interface_detail(DevInfoSet set, InterfaceData* data, void* detail,
                                          std::uint32_t detail_size, std::uint32_t* required) = 0;
  // SetupDiDestroyDeviceInfoList: releases the set; nonzero, or 0 on failure.
  virtual int destroy_device_info_list(DevInfoSet set) = 0;

  // CreateFileW with no security attributes and no template: an open
  // handle, or kInvalidHandle on failure (the name probe or the data open:
  // see the top of this file).
  virtual Handle create_file(const char16_t* path, std::uint32_t access, std::uint32_t share_mode,
                             std::uint32_t disposition, std::uint32_t flags) = 0;
  // DeviceIoControl with no input and no overlapped structure: nonzero with
  // the answer in out and its size in *returned, or 0 on failure.
  virtual int device_io_control(Handle handle, std::uint32_t code, void* out,
                                std::uint32_t out_size, std::uint32_t* returned) = 0;
  // CloseHandle: nonzero, or 0 on failure; the handle is gone either way.
  virtual int close_handle(Handle handle) = 0;
  // GetStdHandle: the process's standard handle as it is, never checked.
  virtual Handle get_std_handle(std::int32_t which) = 0;
  // ReadFile, synchronous: nonzero with *read the bytes delivered (0 bytes:
  // the source has nothing more, such as a file at its end or a port whose
  // host went away), or 0 on failure (kErrorBrokenPipe: the source ended).
  virtual int read_file(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) = 0;
  // WriteFile, synchronous: nonzero with *written the bytes taken (possibly
  // fewer than size), or 0 on failure.
  virtual int write_file(Handle handle, const void* buffer, std::uint32_t size,
                         std::uint32_t* written) = 0;
  // GetLastError: the reason of the last failed operation (a Windows error
  // code, or an errno value on Linux).
  virtual std::uint32_t get_last_error() = 0;

  // The heap, for the detail records: a block of size bytes, or null on
  // failure.
  virtual void* heap_alloc(std::size_t size) = 0;
  // Releases a block from heap_alloc; no result.
  virtual void heap_free(void* block) = 0;

  // Formatted text on standard error (a text stream: CR LF on Windows); its
  // failure is not reported.
  virtual void vprint_error(const char* format, std::va_list args) CHANPIPE_PRINTF_LIKE(2, 0) = 0;

#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  void
  print_error(const char* format, ...);
};

}  // namespace chanpipe

#endif  // CHANPIPE_PLATFORM_PLATFORM_H_
