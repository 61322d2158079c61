// The operations chanpipe needs from the machine: device set-up, file and
// device I/O, the heap and standard error. The logic sees nothing else, so
// a scripted machine can stand in for a real one.
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

  virtual DevInfoSet get_class_devs(const Guid& interface_class, std::uint32_t flags) = 0;
  virtual int enum_device_interfaces(DevInfoSet set, const Guid& interface_class,
                                     std::uint32_t index, InterfaceData* data) = 0;
  // detail may be null with detail_size 0: the size query.
  virtual int get_device_interface_detail(DevInfoSet set, InterfaceData* data, void* detail,
                                          std::uint32_t detail_size, std::uint32_t* required) = 0;
  virtual int destroy_device_info_list(DevInfoSet set) = 0;

  virtual Handle create_file(const char16_t* path, std::uint32_t access, std::uint32_t share_mode,
                             std::uint32_t disposition, std::uint32_t flags) = 0;
  virtual int device_io_control(Handle handle, std::uint32_t code, void* out,
                                std::uint32_t out_size, std::uint32_t* returned) = 0;
  virtual int close_handle(Handle handle) = 0;
  virtual Handle get_std_handle(std::int32_t which) = 0;
  virtual int read_file(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) = 0;
  virtual int write_file(Handle handle, const void* buffer, std::uint32_t size,
                         std::uint32_t* written) = 0;
  virtual std::uint32_t get_last_error() = 0;

  // Heap for the detail records. A failure leaves its reason for
  // get_last_error().
  virtual void* heap_alloc(std::size_t size) = 0;
  virtual void heap_free(void* block) = 0;

  // Formatted text on standard error (a text stream).
  virtual void vprint_error(const char* format, std::va_list args) CHANPIPE_PRINTF_LIKE(2, 0) = 0;

#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  void
  print_error(const char* format, ...);
};

}  // namespace chanpipe

#endif  // CHANPIPE_PLATFORM_PLATFORM_H_
