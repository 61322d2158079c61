#include "discovery/find_port.h"

#include <cstring>

namespace chanpipe {

namespace {

// Copies at most 259 units of the detail record's path, never reading past
// the detail_size bytes that were allocated, and always ends with a NUL.
void copy_detail_path(const unsigned char* detail, std::uint32_t detail_size,
                      char16_t (&path)[kPathUnits]) {
  std::size_t available = (detail_size - kDetailPathOffset) / sizeof(char16_t);
  std::size_t n = 0;
  while (n < kPathUnits - 1 && n < available) {
    char16_t unit;
    std::memcpy(&unit, detail + kDetailPathOffset + n * sizeof(char16_t), sizeof unit);
    if (unit == 0) break;
    path[n++] = unit;
  }
  path[n] = 0;
}

// Fetches the device path of one interface into path. Returns 1 on
// success; on failure the message is printed and the record released.
int fetch_path(Platform& platform, DevInfoSet set, InterfaceData* data, std::uint32_t size,
               char16_t (&path)[kPathUnits]) {
  // A record smaller than its declared size could not even hold cbSize and
  // the path's NUL; such a size is treated as a failed fetch.
  if (size < kDetailDeclaredSize) {
    platform.print_error("SetupDiGetDeviceInterfaceDetail Error %d\n",
                         static_cast<int>(platform.get_last_error()));
    return 0;
  }
  auto* detail = static_cast<unsigned char*>(platform.heap_alloc(size));
  if (detail == nullptr) {
    platform.print_error("SetupDiGetDeviceInterfaceDetail Error %d\n",
                         static_cast<int>(platform.get_last_error()));
    return 0;
  }
  std::memset(detail, 0, size);
  std::uint32_t declared = kDetailDeclaredSize;
  std::memcpy(detail, &declared, sizeof declared);
  std::uint32_t unused = 0;
  if (!platform.get_device_interface_detail(set, data, detail, size, &unused)) {
    platform.print_error("SetupDiGetDeviceInterfaceDetail Error %d\n",
                         static_cast<int>(platform.get_last_error()));
    platform.heap_free(detail);
    return 0;
  }
  copy_detail_path(detail, size, path);
  platform.heap_free(detail);
  return 1;
}

// Opens the port briefly and asks for its name. Returns 1 with the record
// filled; on failure the message is printed and the probe already closed.
int probe_name(Platform& platform, const char16_t* path, unsigned char (&record)[kPortInfoSize]) {
  Handle probe = platform.create_file(path, kGenericRead, 0, kOpenExisting, kFileAttributeNormal);
  if (probe == kInvalidHandle) {
    platform.print_error("CreateFile error %d\n", static_cast<int>(platform.get_last_error()));
    return 0;
  }
  // A short reply must not leave an earlier port's name in place.
  std::memset(record, 0, sizeof record);
  std::uint32_t returned = 0;
  int ok = platform.device_io_control(probe, kPortInfoRequest, record, sizeof record, &returned);
  std::uint32_t error = ok ? 0 : platform.get_last_error();
  platform.close_handle(probe);
  if (!ok) {
    platform.print_error("DeviceIoControl Error %d\n", static_cast<int>(error));
    return 0;
  }
  return 1;
}

}  // namespace

bool record_names(const unsigned char (&record)[kPortInfoSize], const char* channel_name) {
  const unsigned char* name = record + kPortNameOffset;
  const std::size_t room = kPortInfoSize - kPortNameOffset;
  const void* end = std::memchr(name, 0, room);
  if (end == nullptr) return false;
  std::size_t length = static_cast<std::size_t>(static_cast<const unsigned char*>(end) - name);
  // Compare up to and including the NUL; a shorter channel name stops at
  // its own NUL, so nothing past it is read.
  for (std::size_t i = 0; i <= length; ++i) {
    if (static_cast<unsigned char>(channel_name[i]) != name[i]) return false;
  }
  return true;
}

int find_port(Platform& platform, const char* channel_name, char16_t (&port_path)[kPathUnits]) {
  int result = 0;
  DevInfoSet set =
      platform.get_class_devs(kPortInterfaceClass, kDigcfPresent | kDigcfDeviceInterface);
  if (set == kInvalidSet) {
    // No line end: the caller's "Unable to find" follows on the same line.
    platform.print_error("SetupDiGetClassDevs Error %d",
                         static_cast<int>(platform.get_last_error()));
    return 0;
  }

  InterfaceData data = {};
  char16_t path[kPathUnits] = {};
  unsigned char record[kPortInfoSize] = {};
  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t size = 0;
    data.cb_size = sizeof(InterfaceData);
    if (!platform.enum_device_interfaces(set, kPortInterfaceClass, index, &data)) break;
    platform.get_device_interface_detail(set, &data, nullptr, 0, &size);
    if (!fetch_path(platform, set, &data, size, path)) continue;
    if (!probe_name(platform, path, record)) continue;
    if (record_names(record, channel_name)) {
      std::memcpy(port_path, path, sizeof path);
      result = 1;
      break;
    }
  }

  if (!result) {
    platform.print_error("%s not found\n", channel_name);
    platform.print_error("Turn UAC off and make sure that %s is defined in the VM config.\n",
                         channel_name);
  }
  platform.destroy_device_info_list(set);
  return result;
}

}  // namespace chanpipe
