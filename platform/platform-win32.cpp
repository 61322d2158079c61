// The messages are printed by the system's msvcrt, not by mingw's own
// printf, which g++ and the C++ library would otherwise switch to; so this
// comes before any C++ header.
#define __USE_MINGW_ANSI_STDIO 0
#include <stdio.h>

// windows.h before setupapi.h, which depends on it.
#include <windows.h>

#include <setupapi.h>
#include <winioctl.h>

#include <cstddef>

#include "platform/platform-win32.h"
#include "platform/port_driver.h"

namespace chanpipe {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "port paths are UTF-16");
static_assert(sizeof(Guid) == sizeof(GUID), "Guid mirrors GUID");
static_assert(sizeof(InterfaceData) == sizeof(SP_DEVICE_INTERFACE_DATA),
              "InterfaceData mirrors SP_DEVICE_INTERFACE_DATA");
static_assert(offsetof(InterfaceData, flags) == offsetof(SP_DEVICE_INTERFACE_DATA, Flags),
              "InterfaceData mirrors SP_DEVICE_INTERFACE_DATA");
static_assert(kDetailDeclaredSize == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W),
              "declared size of the detail record");
static_assert(kDetailPathOffset == offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath),
              "offset of the detail record's path");
static_assert(kPortInfoRequest ==
                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "the port information request");
static_assert(sizeof(Handle) == sizeof(HANDLE) && sizeof(DevInfoSet) == sizeof(HDEVINFO),
              "handles fit");

namespace {

const GUID* as_guid(const Guid& guid) { return reinterpret_cast<const GUID*>(&guid); }

SP_DEVICE_INTERFACE_DATA* as_data(InterfaceData* data) {
  return reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(data);
}

HDEVINFO as_set(DevInfoSet set) { return reinterpret_cast<HDEVINFO>(set); }

HANDLE as_handle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

DevInfoSet Win32Platform::get_class_devs(const Guid& interface_class, std::uint32_t flags) {
  return reinterpret_cast<DevInfoSet>(
      SetupDiGetClassDevsW(as_guid(interface_class), nullptr, nullptr, flags));
}

int Win32Platform::enum_device_interfaces(DevInfoSet set, const Guid& interface_class,
                                          std::uint32_t index, InterfaceData* data) {
  return SetupDiEnumDeviceInterfaces(as_set(set), nullptr, as_guid(interface_class), index,
                                     as_data(data));
}

int Win32Platform::get_device_interface_detail(DevInfoSet set, InterfaceData* data, void* detail,
                                               std::uint32_t detail_size, std::uint32_t* required) {
  DWORD size = 0;
  BOOL ok = SetupDiGetDeviceInterfaceDetailW(
      as_set(set), as_data(data), static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detail),
      detail_size, &size, nullptr);
  if (required != nullptr) *required = size;
  return ok;
}

int Win32Platform::destroy_device_info_list(DevInfoSet set) {
  return SetupDiDestroyDeviceInfoList(as_set(set));
}

Handle Win32Platform::create_file(const char16_t* path, std::uint32_t access,
                                  std::uint32_t share_mode, std::uint32_t disposition,
                                  std::uint32_t flags) {
  return reinterpret_cast<Handle>(CreateFileW(reinterpret_cast<const wchar_t*>(path), access,
                                              share_mode, nullptr, disposition, flags, nullptr));
}

int Win32Platform::device_io_control(Handle handle, std::uint32_t code, void* out,
                                     std::uint32_t out_size, std::uint32_t* returned) {
  DWORD count = 0;
  BOOL ok = DeviceIoControl(as_handle(handle), code, nullptr, 0, out, out_size, &count, nullptr);
  if (returned != nullptr) *returned = count;
  return ok;
}

int Win32Platform::close_handle(Handle handle) { return CloseHandle(as_handle(handle)); }

Handle Win32Platform::get_std_handle(std::int32_t which) {
  return reinterpret_cast<Handle>(GetStdHandle(static_cast<DWORD>(which)));
}

int Win32Platform::read_file(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) {
  DWORD count = 0;
  BOOL ok = ReadFile(as_handle(handle), buffer, size, &count, nullptr);
  *read = count;
  return ok;
}

int Win32Platform::write_file(Handle handle, const void* buffer, std::uint32_t size,
                              std::uint32_t* written) {
  DWORD count = 0;
  BOOL ok = WriteFile(as_handle(handle), buffer, size, &count, nullptr);
  *written = count;
  return ok;
}

std::uint32_t Win32Platform::get_last_error() { return GetLastError(); }

void* Win32Platform::heap_alloc(std::size_t size) {
  void* block = HeapAlloc(GetProcessHeap(), 0, size);
  // HeapAlloc leaves the last error alone; give the caller a true reason.
  if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

void Win32Platform::heap_free(void* block) { HeapFree(GetProcessHeap(), 0, block); }

void Win32Platform::vprint_error(const char* format, std::va_list args) {
  vfprintf(stderr, format, args);
}

}  // namespace chanpipe
