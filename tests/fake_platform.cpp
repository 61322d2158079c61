#include "tests/fake_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "discovery/find_port.h"

namespace chanpipe::fake {

namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorNoMoreItems = 259;
constexpr std::uint32_t kErrorInvalidUserBuffer = 1784;
constexpr std::uint32_t kErrorInvalidFunction = 1;

std::string hex(std::uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string dec(std::uint64_t value) { return std::to_string(value); }

}  // namespace

const char* op_name(Op op) {
  switch (op) {
    case Op::kGetClassDevs:
      return "SetupDiGetClassDevs";
    case Op::kEnumInterfaces:
      return "SetupDiEnumDeviceInterfaces";
    case Op::kDetailQuery:
      return "SetupDiGetDeviceInterfaceDetail(size)";
    case Op::kDetailFetch:
      return "SetupDiGetDeviceInterfaceDetail";
    case Op::kDestroySet:
      return "SetupDiDestroyDeviceInfoList";
    case Op::kCreateFile:
      return "CreateFile";
    case Op::kIoControl:
      return "DeviceIoControl";
    case Op::kCloseHandle:
      return "CloseHandle";
    case Op::kGetStdHandle:
      return "GetStdHandle";
    case Op::kReadFile:
      return "ReadFile";
    case Op::kWriteFile:
      return "WriteFile";
    case Op::kHeapAlloc:
      return "HeapAlloc";
    case Op::kHeapFree:
      return "HeapFree";
    case Op::kPrint:
      return "print";
  }
  return "?";
}

std::string narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) out += unit < 0x80 ? static_cast<char>(unit) : '?';
  return out;
}

FakePlatform::FakePlatform() = default;

FakePlatform::~FakePlatform() {
  // Whatever the logic leaked is freed here; the tests check the counts.
  for (auto& block : live_details_) std::free(block.first);
}

std::string FakePlatform::record_for(const std::string& name) {
  // Junk in the driver's own fields: the logic must not read them.
  std::string record(kPortNameOffset, '\xa5');
  record += name;
  record += '\0';
  return record;
}

std::size_t FakePlatform::add_port(const std::string& name) {
  std::string path = "\\\\?\\port#" + std::to_string(ports_.size());
  return add_port_raw(std::u16string(path.begin(), path.end()), record_for(name));
}

std::size_t FakePlatform::add_port_raw(const std::u16string& path, const std::string& record) {
  Port port;
  port.path = path;
  port.record = record;
  ports_.push_back(port);
  return ports_.size() - 1;
}

void FakePlatform::fail_nth(Op op, std::size_t nth, std::uint32_t error) {
  op_faults_[{op, nth}] = error;
}

void FakePlatform::fail_call(std::size_t k, std::uint32_t error) { call_faults_[k] = error; }

std::vector<std::string> FakePlatform::call_texts() const {
  std::vector<std::string> texts;
  for (const Call& call : log_) {
    if (call.op != Op::kPrint) texts.push_back(call.text);
  }
  return texts;
}

std::size_t FakePlatform::count(Op op) const {
  auto it = op_counts_.find(op);
  return it == op_counts_.end() ? 0 : it->second;
}

bool FakePlatform::all_released() const {
  return sets_created == sets_destroyed && details_taken == details_released &&
         probes_opened == probes_closed && bad_releases == 0 && bad_handles == 0;
}

bool FakePlatform::begin(Op op, const std::string& text) {
  log_.push_back({op, text});
  std::size_t nth = op_counts_[op]++;
  std::size_t k = call_count_++;
  auto by_op = op_faults_.find({op, nth});
  auto by_call = call_faults_.find(k);
  if (by_op != op_faults_.end()) {
    last_error_ = by_op->second;
    return true;
  }
  if (by_call != call_faults_.end()) {
    last_error_ = by_call->second;
    return true;
  }
  return false;
}

int FakePlatform::fail(std::uint32_t error) {
  last_error_ = error;
  return 0;
}

DevInfoSet FakePlatform::get_class_devs(const Guid& interface_class, std::uint32_t flags) {
  bool same = same_guid(interface_class, kPortInterfaceClass);
  if (begin(Op::kGetClassDevs, std::string("SetupDiGetClassDevs(") + (same ? "ports" : "other") +
                                   ", " + hex(flags) + ")")) {
    return kInvalidSet;
  }
  if (set_creation_fails) {
    last_error_ = set_error;
    return kInvalidSet;
  }
  DevInfoSet set = next_set_++;
  live_sets_.insert(set);
  ++sets_created;
  return set;
}

int FakePlatform::enum_device_interfaces(DevInfoSet set, const Guid& interface_class,
                                         std::uint32_t index, InterfaceData* data) {
  if (begin(Op::kEnumInterfaces, "SetupDiEnumDeviceInterfaces(" + dec(index) + ", cb " +
                                     dec(data ? data->cb_size : 0) + ")")) {
    return 0;
  }
  if (!live_sets_.count(set) || data == nullptr || data->cb_size != sizeof(InterfaceData) ||
      !same_guid(interface_class, kPortInterfaceClass)) {
    return fail(kErrorInvalidParameter);
  }
  if (index >= ports_.size()) return fail(kErrorNoMoreItems);
  data->interface_class = interface_class;
  data->flags = 1;
  data->reserved = index;
  return 1;
}

int FakePlatform::get_device_interface_detail(DevInfoSet set, InterfaceData* data, void* detail,
                                              std::uint32_t detail_size, std::uint32_t* required) {
  bool query = detail == nullptr;
  std::uint32_t declared = 0;
  if (!query && detail_size >= sizeof declared) std::memcpy(&declared, detail, sizeof declared);
  std::string text = query ? "SetupDiGetDeviceInterfaceDetail(size " + dec(detail_size) + ")"
                           : "SetupDiGetDeviceInterfaceDetail(cb " + dec(declared) + ", size " +
                                 dec(detail_size) + ")";
  if (begin(query ? Op::kDetailQuery : Op::kDetailFetch, text)) {
    // A failed query reports no size.
    if (query && required != nullptr) *required = 0;
    return 0;
  }
  if (!live_sets_.count(set) || data == nullptr || data->reserved >= ports_.size()) {
    return fail(kErrorInvalidParameter);
  }
  const Port& port = ports_[data->reserved];
  const Fault& fault = query ? port.query_fault : port.fetch_fault;
  if (fault.on) {
    if (query && required != nullptr) *required = 0;
    return fail(fault.error);
  }
  auto needed =
      static_cast<std::uint32_t>(kDetailPathOffset + (port.path.size() + 1) * sizeof(char16_t));
  if (required != nullptr) {
    *required = port.reported_detail_size ? port.reported_detail_size : needed;
  }
  if (query) return fail(kErrorInsufficientBuffer);
  if (declared != kDetailDeclaredSize) return fail(kErrorInvalidUserBuffer);
  if (detail_size < needed && !port.short_fetch_succeeds) return fail(kErrorInsufficientBuffer);
  if (!live_details_.count(detail) || live_details_[detail] < detail_size) {
    ++bad_handles;  // the record must be a block the logic took, at least this big
  }
  auto* out = static_cast<unsigned char*>(detail) + kDetailPathOffset;
  std::size_t units = (detail_size - kDetailPathOffset) / sizeof(char16_t);
  for (std::size_t i = 0; i < units; ++i) {
    char16_t unit = u'x';
    if (i < port.path.size()) {
      unit = port.path[i];
    } else if (!port.path_without_nul) {
      unit = 0;
    }
    std::memcpy(out + i * sizeof unit, &unit, sizeof unit);
    if (unit == 0) break;
  }
  return 1;
}

int FakePlatform::destroy_device_info_list(DevInfoSet set) {
  bool failed = begin(Op::kDestroySet, "SetupDiDestroyDeviceInfoList()");
  if (live_sets_.erase(set) == 0) {
    ++bad_releases;
    return fail(kErrorInvalidHandle);
  }
  ++sets_destroyed;
  return failed ? 0 : 1;
}

Handle FakePlatform::create_file(const char16_t* path, std::uint32_t access,
                                 std::uint32_t share_mode, std::uint32_t disposition,
                                 std::uint32_t flags) {
  std::u16string wanted(path);
  if (begin(Op::kCreateFile, "CreateFile(" + narrow(wanted) + ", " + hex(access) + ", " +
                                 hex(share_mode) + ", " + hex(disposition) + ", " + hex(flags) +
                                 ")")) {
    return kInvalidHandle;
  }
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    if (ports_[i].path.substr(0, kPathUnits - 1) != wanted) continue;
    bool probe = !(flags & kFileFlagNoBuffering);
    if (probe && ports_[i].probe_fault.on) {
      fail(ports_[i].probe_fault.error);
      return kInvalidHandle;
    }
    Handle handle = next_handle_++;
    open_handles_[handle] = {i, probe, access};
    ++(probe ? probes_opened : data_opened);
    return handle;
  }
  fail(kErrorFileNotFound);
  return kInvalidHandle;
}

int FakePlatform::device_io_control(Handle handle, std::uint32_t code, void* out,
                                    std::uint32_t out_size, std::uint32_t* returned) {
  if (begin(Op::kIoControl, "DeviceIoControl(" + hex(code) + ", " + dec(out_size) + ")")) {
    return 0;
  }
  auto it = open_handles_.find(handle);
  if (it == open_handles_.end()) {
    ++bad_handles;
    return fail(kErrorInvalidHandle);
  }
  if (code != kPortInfoRequest) return fail(kErrorInvalidFunction);
  const std::string& record = ports_[it->second.port].record;
  std::size_t n = record.size() < out_size ? record.size() : out_size;
  std::memcpy(out, record.data(), n);
  if (returned != nullptr) *returned = static_cast<std::uint32_t>(n);
  if (ports_[it->second.port].io_error_after_write != 0) {
    return fail(ports_[it->second.port].io_error_after_write);
  }
  return 1;
}

int FakePlatform::close_handle(Handle handle) {
  bool failed = begin(Op::kCloseHandle, "CloseHandle()");
  auto it = open_handles_.find(handle);
  if (it == open_handles_.end()) {
    ++bad_releases;
    return fail(kErrorInvalidHandle);
  }
  ++(it->second.probe ? probes_closed : data_closed);
  const Fault& fault = ports_[it->second.port].close_fault;
  open_handles_.erase(it);
  if (fault.on) return fail(fault.error);
  return failed ? 0 : 1;
}

Handle FakePlatform::get_std_handle(std::int32_t which) {
  if (begin(Op::kGetStdHandle, "GetStdHandle(" + std::to_string(which) + ")")) {
    return kInvalidHandle;
  }
  if (which == kStdInputHandle) return kFakeStdIn;
  if (which == kStdOutputHandle) return kFakeStdOut;
  fail(kErrorInvalidParameter);
  return kInvalidHandle;
}

Stream* FakePlatform::stream_of(Handle handle, std::uint32_t access) {
  if (handle == kFakeStdIn && access == kGenericRead) return &std_in;
  if (handle == kFakeStdOut && access == kGenericWrite) return &std_out;
  auto it = open_handles_.find(handle);
  if (it == open_handles_.end() || it->second.probe || !(it->second.access & access)) {
    return nullptr;
  }
  return &ports_[it->second.port].data;
}

int FakePlatform::read_file(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) {
  if (begin(Op::kReadFile, "ReadFile(" + dec(size) + ")")) return 0;
  Stream* stream = stream_of(handle, kGenericRead);
  if (stream == nullptr) {
    // An unchecked failed standard handle is allowed; anything else is not.
    if (handle != kInvalidHandle) ++bad_handles;
    return fail(kErrorInvalidHandle);
  }
  if (stream->reads.empty()) return fail(stream->end_error);
  ReadStep& step = stream->reads.front();
  if (step.error != 0) {
    std::uint32_t error = step.error;
    stream->reads.pop_front();
    return fail(error);
  }
  std::size_t n = step.bytes.size() < size ? step.bytes.size() : size;
  std::memcpy(buffer, step.bytes.data(), n);
  *read = step.claim ? step.claim : static_cast<std::uint32_t>(n);
  step.bytes.erase(0, n);
  if (step.bytes.empty()) stream->reads.pop_front();
  return 1;
}

int FakePlatform::write_file(Handle handle, const void* buffer, std::uint32_t size,
                             std::uint32_t* written) {
  if (begin(Op::kWriteFile, "WriteFile(" + dec(size) + ")")) return 0;
  Stream* stream = stream_of(handle, kGenericWrite);
  if (stream == nullptr) {
    if (handle != kInvalidHandle) ++bad_handles;
    return fail(kErrorInvalidHandle);
  }
  stream->write_sizes.push_back(size);
  WriteStep step;
  if (!stream->writes.empty()) {
    step = stream->writes.front();
    stream->writes.pop_front();
  }
  if (step.error != 0) return fail(step.error);
  std::uint32_t n = step.accept < size ? step.accept : size;
  stream->written.append(static_cast<const char*>(buffer), n);
  *written = n;
  return 1;
}

std::uint32_t FakePlatform::get_last_error() { return last_error_; }

void* FakePlatform::heap_alloc(std::size_t size) {
  if (begin(Op::kHeapAlloc, "HeapAlloc(" + dec(size) + ")")) return nullptr;
  if (heap_exhausted || size > heap_limit) {
    fail(kErrorNotEnoughMemory);
    return nullptr;
  }
  void* block = std::malloc(size ? size : 1);
  live_details_[block] = size;
  ++details_taken;
  return block;
}

void FakePlatform::heap_free(void* block) {
  begin(Op::kHeapFree, "HeapFree()");
  if (live_details_.erase(block) == 0) {
    ++bad_releases;
    return;
  }
  std::free(block);
  ++details_released;
}

void FakePlatform::vprint_error(const char* format, std::va_list args) {
  std::va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&text[0], text.size() + 1, format, args);
  err_ += text;
  log_.push_back({Op::kPrint, text});
  // Like a runtime that calls the system to print: the last error is gone.
  last_error_ = kClobberedError;
}

}  // namespace chanpipe::fake
