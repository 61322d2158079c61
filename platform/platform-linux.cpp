#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform-linux.h"
#include "platform/port_driver.h"

namespace chanpipe {

namespace {

constexpr std::size_t kMaxPorts = 1024;
constexpr std::size_t kNodeNameMax = 32;
constexpr std::size_t kPathMax = 4096;

struct PortNode {
  unsigned long device;
  unsigned long port;
  char name[kNodeNameMax];
};

struct PortList {
  std::size_t count;
  PortNode nodes[kMaxPorts];
};

// Parses "vport<device>p<port>"; anything else is not a port.
bool parse_node_name(const char* name, PortNode* node) {
  if (std::strncmp(name, "vport", 5) != 0 || std::strlen(name) >= kNodeNameMax) return false;
  const char* p = name + 5;
  if (*p < '0' || *p > '9') return false;
  char* end = nullptr;
  node->device = std::strtoul(p, &end, 10);
  if (*end != 'p' || end[1] < '0' || end[1] > '9') return false;
  node->port = std::strtoul(end + 1, &end, 10);
  if (*end != 0) return false;
  std::strcpy(node->name, name);
  return true;
}

bool before(const PortNode& a, const PortNode& b) {
  return a.device != b.device ? a.device < b.device : a.port < b.port;
}

// Keeps the list sorted (vport0p2 before vport0p10); past capacity the
// highest numbers are dropped.
void insert_sorted(PortList* list, const PortNode& node) {
  std::size_t at = list->count;
  while (at > 0 && before(node, list->nodes[at - 1])) --at;
  if (at == kMaxPorts) return;
  std::size_t last = list->count < kMaxPorts ? list->count : kMaxPorts - 1;
  for (std::size_t i = last; i > at; --i) list->nodes[i] = list->nodes[i - 1];
  list->nodes[at] = node;
  if (list->count < kMaxPorts) ++list->count;
}

PortList* as_list(DevInfoSet set) { return reinterpret_cast<PortList*>(set); }

bool join(char (&out)[kPathMax], const char* a, const char* b, const char* c) {
  int n = std::snprintf(out, sizeof out, "%s%s%s", a, b, c);
  return n >= 0 && static_cast<std::size_t>(n) < sizeof out;
}

}  // namespace

LinuxPlatform::LinuxPlatform(const char* sys_root, const char* dev_root)
    : sys_root_(sys_root), dev_root_(dev_root) {
  // A write to a closed pipe must fail with EPIPE (status 4), not kill us.
  signal(SIGPIPE, SIG_IGN);
  // A closed standard descriptor would be the lowest free number, so the
  // port's open would take it: with stderr closed, the progress lines would
  // go into the port among the data. Path-only handles hold 0 to 2 instead;
  // reads and writes on them fail (EBADF), as on a missing standard handle.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lower ones are open by now, so this lands on fd itself.
      open("/dev/null", O_PATH | O_CLOEXEC);
    }
  }
}

int LinuxPlatform::fail(int error) {
  last_error_ = static_cast<std::uint32_t>(error);
  return 0;
}

DevInfoSet LinuxPlatform::get_class_devs(const Guid& interface_class, std::uint32_t flags) {
  if (!same_guid(interface_class, kPortInterfaceClass) || !(flags & kDigcfDeviceInterface)) {
    fail(EINVAL);
    return kInvalidSet;
  }
  auto* list = new (std::nothrow) PortList;
  if (list == nullptr) {
    fail(ENOMEM);
    return kInvalidSet;
  }
  list->count = 0;
  char dir_path[kPathMax];
  if (!join(dir_path, sys_root_, "/class/virtio-ports", "")) {
    delete list;
    fail(ENAMETOOLONG);
    return kInvalidSet;
  }
  DIR* dir = opendir(dir_path);
  if (dir == nullptr) {
    // No virtio-serial driver, or no ports: an empty set, not an error.
    if (errno == ENOENT || errno == ENOTDIR) return reinterpret_cast<DevInfoSet>(list);
    int error = errno;
    delete list;
    fail(error);
    return kInvalidSet;
  }
  while (dirent* entry = readdir(dir)) {
    PortNode node;
    if (parse_node_name(entry->d_name, &node)) insert_sorted(list, node);
  }
  closedir(dir);
  return reinterpret_cast<DevInfoSet>(list);
}

int LinuxPlatform::enum_device_interfaces(DevInfoSet set, const Guid& interface_class,
                                          std::uint32_t index, InterfaceData* data) {
  if (set == kInvalidSet || data == nullptr || data->cb_size != sizeof(InterfaceData) ||
      !same_guid(interface_class, kPortInterfaceClass)) {
    return fail(EINVAL);
  }
  if (index >= as_list(set)->count) return fail(ENOENT);
  data->interface_class = interface_class;
  data->flags = 1;  // active
  data->reserved = index;
  return 1;
}

int LinuxPlatform::get_device_interface_detail(DevInfoSet set, InterfaceData* data, void* detail,
                                               std::uint32_t detail_size, std::uint32_t* required) {
  if (set == kInvalidSet || data == nullptr || data->reserved >= as_list(set)->count) {
    return fail(EINVAL);
  }
  char node_path[kPathMax];
  if (!join(node_path, dev_root_, "/", as_list(set)->nodes[data->reserved].name)) {
    return fail(ENAMETOOLONG);
  }
  std::size_t length = std::strlen(node_path);
  std::uint32_t needed =
      static_cast<std::uint32_t>(kDetailPathOffset + (length + 1) * sizeof(char16_t));
  if (required != nullptr) *required = needed;
  if (detail == nullptr || detail_size < needed) return fail(ENOBUFS);
  std::uint32_t declared;
  std::memcpy(&declared, detail, sizeof declared);
  if (declared != kDetailDeclaredSize) return fail(EINVAL);
  // Each byte of the node path becomes one code unit, so create_file gets
  // the exact bytes back whatever their encoding.
  auto* out = static_cast<unsigned char*>(detail) + kDetailPathOffset;
  for (std::size_t i = 0; i <= length; ++i) {
    char16_t unit = static_cast<unsigned char>(node_path[i]);
    std::memcpy(out + i * sizeof unit, &unit, sizeof unit);
  }
  return 1;
}

int LinuxPlatform::destroy_device_info_list(DevInfoSet set) {
  if (set == kInvalidSet) return fail(EINVAL);
  delete as_list(set);
  return 1;
}

Handle LinuxPlatform::create_file(const char16_t* path, std::uint32_t access,
                                  std::uint32_t /*share_mode*/, std::uint32_t disposition,
                                  std::uint32_t flags) {
  char node_path[kPathMax];
  std::size_t n = 0;
  for (; path[n] != 0; ++n) {
    if (n + 1 >= sizeof node_path || path[n] > 0xff) {
      fail(ENOENT);
      return kInvalidHandle;
    }
    node_path[n] = static_cast<char>(path[n]);
  }
  node_path[n] = 0;
  if (disposition != kOpenExisting) {
    fail(EINVAL);
    return kInvalidHandle;
  }
  int open_flags = O_CLOEXEC | O_NOCTTY;
  if (!(flags & kFileFlagNoBuffering)) {
    // The name probe. Opening a virtio-serial port tells the host the guest
    // is there, and closing it drops whatever the host had sent: a path-only
    // handle asks nothing of the driver.
    open_flags |= O_PATH;
  } else if ((access & kGenericRead) && (access & kGenericWrite)) {
    open_flags |= O_RDWR;
  } else if (access & kGenericWrite) {
    open_flags |= O_WRONLY;
  } else {
    open_flags |= O_RDONLY;
  }
  // The driver itself refuses a second open of a port (EBUSY), which is
  // what share mode 0 asks for.
  int fd;
  do {
    fd = open(node_path, open_flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    fail(errno);
    return kInvalidHandle;
  }
  return fd;
}

int LinuxPlatform::device_io_control(Handle handle, std::uint32_t code, void* out,
                                     std::uint32_t out_size, std::uint32_t* returned) {
  if (code != kPortInfoRequest) return fail(ENOTTY);
  if (out == nullptr || out_size < kPortInfoSize) return fail(EINVAL);
  // The port is known by its node's name, which leads to its sysfs entry.
  char link[64];
  char node_path[kPathMax];
  std::snprintf(link, sizeof link, "/proc/self/fd/%ld", static_cast<long>(handle));
  ssize_t length = readlink(link, node_path, sizeof node_path - 1);
  if (length < 0) return fail(errno);
  node_path[length] = 0;
  const char* slash = std::strrchr(node_path, '/');
  const char* node = slash != nullptr ? slash + 1 : node_path;
  char name_path[kPathMax];
  int length_needed =
      std::snprintf(name_path, sizeof name_path, "%s/class/virtio-ports/%s/name", sys_root_, node);
  if (length_needed < 0 || static_cast<std::size_t>(length_needed) >= sizeof name_path) {
    return fail(ENAMETOOLONG);
  }
  int fd = open(name_path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  auto* record = static_cast<unsigned char*>(out);
  std::memset(record, 0, kPortInfoSize);
  char* name = reinterpret_cast<char*>(record + kPortNameOffset);
  const std::size_t room = kPortInfoSize - kPortNameOffset - 1;
  std::size_t got = 0;
  while (got < room) {
    ssize_t n = read(fd, name + got, room - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      close(fd);
      return fail(error);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  // sysfs ends the name with a line feed.
  if (got > 0 && name[got - 1] == '\n') --got;
  name[got] = 0;
  if (returned != nullptr) {
    *returned = static_cast<std::uint32_t>(kPortNameOffset + got + 1);
  }
  return 1;
}

int LinuxPlatform::close_handle(Handle handle) {
  if (close(static_cast<int>(handle)) != 0) return fail(errno);
  return 1;
}

Handle LinuxPlatform::get_std_handle(std::int32_t which) {
  if (which == kStdInputHandle) return STDIN_FILENO;
  if (which == kStdOutputHandle) return STDOUT_FILENO;
  fail(EINVAL);
  return kInvalidHandle;
}

int LinuxPlatform::read_file(Handle handle, void* buffer, std::uint32_t size,
                             std::uint32_t* read_count) {
  ssize_t n;
  do {
    n = read(static_cast<int>(handle), buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return fail(errno);
  *read_count = static_cast<std::uint32_t>(n);
  return 1;
}

int LinuxPlatform::write_file(Handle handle, const void* buffer, std::uint32_t size,
                              std::uint32_t* written) {
  ssize_t n;
  do {
    n = write(static_cast<int>(handle), buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return fail(errno);
  *written = static_cast<std::uint32_t>(n);
  return 1;
}

std::uint32_t LinuxPlatform::get_last_error() { return last_error_; }

void* LinuxPlatform::heap_alloc(std::size_t size) {
  void* block = std::malloc(size);
  if (block == nullptr) fail(ENOMEM);
  return block;
}

void LinuxPlatform::heap_free(void* block) { std::free(block); }

void LinuxPlatform::vprint_error(const char* format, std::va_list args) {
  std::vfprintf(stderr, format, args);
}

}  // namespace chanpipe
