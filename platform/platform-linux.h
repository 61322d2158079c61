// The platform over Linux's virtio-serial ports. The "device information
// set" is the list of /sys/class/virtio-ports entries in numeric order; a
// port's device path is its /dev/vportNpM node; handles are descriptors and
// error numbers are errno values.
#ifndef CHANPIPE_PLATFORM_PLATFORM_LINUX_H_
#define CHANPIPE_PLATFORM_PLATFORM_LINUX_H_

#include "platform/platform.h"

namespace chanpipe {

class LinuxPlatform : public Platform {
 public:
  // The roots are "/sys" and "/dev" on a real machine; tests point them at
  // a tree of their own.
  LinuxPlatform(const char* sys_root, const char* dev_root);

  DevInfoSet get_class_devs(const Guid& interface_class, std::uint32_t flags) override;
  int enum_device_interfaces(DevInfoSet set, const Guid& interface_class, std::uint32_t index,
                             InterfaceData* data) override;
  int get_device_interface_detail(DevInfoSet set, InterfaceData* data, void* detail,
                                  std::uint32_t detail_size, std::uint32_t* required) override;
  int destroy_device_info_list(DevInfoSet set) override;
  Handle create_file(const char16_t* path, std::uint32_t access, std::uint32_t share_mode,
                     std::uint32_t disposition, std::uint32_t flags) override;
  int device_io_control(Handle handle, std::uint32_t code, void* out, std::uint32_t out_size,
                        std::uint32_t* returned) override;
  int close_handle(Handle handle) override;
  Handle get_std_handle(std::int32_t which) override;
  int read_file(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) override;
  int write_file(Handle handle, const void* buffer, std::uint32_t size,
                 std::uint32_t* written) override;
  std::uint32_t get_last_error() override;
  void* heap_alloc(std::size_t size) override;
  void heap_free(void* block) override;
  void vprint_error(const char* format, std::va_list args) override CHANPIPE_PRINTF_LIKE(2, 0);

 private:
  int fail(int error);

  const char* sys_root_;
  const char* dev_root_;
  std::uint32_t last_error_ = 0;
};

}  // namespace chanpipe

#endif  // CHANPIPE_PLATFORM_PLATFORM_LINUX_H_
