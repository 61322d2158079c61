// The lookup against a machine that the input scripts entirely: the ports,
// their device paths and reported sizes, what each name request returns,
// which calls fail and with which numbers, and the channel name. Each run
// is checked against an oracle that works the expected outcome out from
// the script alone.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/find_port.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_input.h"

namespace chanpipe::fuzz {
namespace {

using fake::FakePlatform;
using fake::Fault;
using fake::Op;

constexpr std::size_t kMaxPorts = 8;
constexpr std::size_t kMaxNameBytes = 640;  // past the 505 bytes a record can hold
constexpr std::size_t kMaxPathUnits = 700;  // past the 259 units a path keeps
constexpr std::size_t kMaxRecordBytes = 600;
// Detail records above this fail as a real heap would, and keep runs fast.
constexpr std::size_t kHeapLimit = 64 * 1024;
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr char16_t kNoNulFill = u'x';  // what the fake puts after a path without NUL

struct Script {
  bool set_fails = false;
  std::uint32_t set_error = 0;
  bool heap_exhausted = false;
  bool destroy_fails = false;
  std::uint32_t destroy_error = 0;
  std::size_t enum_stop = SIZE_MAX;  // index whose enumeration fails early
  std::uint32_t enum_error = 0;
  std::string name;  // as the argument vector would carry it: no NUL inside
  std::vector<fake::Port> ports;
};

Fault read_fault(Input& in, bool on) {
  Fault fault;
  fault.on = on;
  if (on) fault.error = in.u32();
  return fault;
}

std::string read_record(Input& in, const std::string& name) {
  std::uint8_t kind = in.u8();
  std::string head(kPortNameOffset, static_cast<char>(kind >> 2));
  switch (kind & 3) {
    case 0:  // the wanted name, terminated
      return head + name + '\0' + in.bytes(in.u8());
    case 1:  // the wanted name running into whatever follows
      return head + name + in.bytes(in.u8());
    case 2:  // any bytes at all
      return in.bytes(in.u16() % (kMaxRecordBytes + 1));
    default:  // a prefix of the wanted name, then anything
      return head + name.substr(0, in.u8()) + in.bytes(in.u8());
  }
}

Script read_script(Input& in) {
  Script s;
  std::uint8_t flags = in.u8();
  s.set_fails = flags & 1;
  if (s.set_fails) s.set_error = in.u32();
  s.heap_exhausted = flags & 2;
  s.destroy_fails = flags & 4;
  if (s.destroy_fails) s.destroy_error = in.u32();
  if (flags & 8) {
    s.enum_stop = in.u8() % (kMaxPorts + 1);
    s.enum_error = in.u32();
  }
  std::string raw = in.bytes(in.u16() % (kMaxNameBytes + 1));
  s.name = raw.substr(0, raw.find('\0'));

  std::size_t count = in.u8() % (kMaxPorts + 1);
  for (std::size_t i = 0; i < count; ++i) {
    fake::Port port;
    std::uint8_t bits = in.u8();
    port.query_fault = read_fault(in, bits & 1);
    port.fetch_fault = read_fault(in, bits & 2);
    port.probe_fault = read_fault(in, bits & 4);
    if (bits & 8) port.io_error_after_write = in.u32();
    port.close_fault = read_fault(in, bits & 16);
    port.path_without_nul = bits & 32;
    port.short_fetch_succeeds = bits & 64;
    if (bits & 128) port.reported_detail_size = in.u32();

    // The path: its first units from the input, the rest from the
    // alphabet at a given shift, so that paths can equal one another, or
    // another's cut.
    std::size_t units = in.u16() % (kMaxPathUnits + 1);
    std::size_t shift = in.u8();
    std::size_t literal = in.u8();
    for (std::size_t u = 0; u < units; ++u) {
      port.path += u < literal ? static_cast<char16_t>(in.u16())
                               : static_cast<char16_t>(u'a' + (u + shift) % 26);
    }
    port.record = read_record(in, s.name);
    s.ports.push_back(port);
  }
  return s;
}

// What a run of the lookup must come to on this machine.
struct Expected {
  int result = 0;
  std::u16string path;
  std::string err;
  int sets = 0;
  int probes = 0;
  std::size_t enumerations = 0;
};

// The 505 name bytes of the reply as the caller sees them: the request's
// bytes, with zeros where the reply was short.
bool names_channel(const std::string& reply, const std::string& name) {
  std::string record = reply.substr(0, kPortInfoSize);
  record.resize(kPortInfoSize, '\0');
  std::string field = record.substr(kPortNameOffset);
  std::size_t nul = field.find('\0');
  if (nul == std::string::npos) return false;  // no name at all
  return field.substr(0, nul) == name;
}

Expected expect(const Script& s) {
  Expected e;
  if (s.set_fails) {
    e.err = "SetupDiGetClassDevs Error " + number(s.set_error);
    return e;
  }
  e.sets = 1;
  const std::size_t n = s.ports.size();
  for (std::size_t i = 0;; ++i) {
    ++e.enumerations;
    if (i == s.enum_stop || i == n) break;
    const fake::Port& port = s.ports[i];
    auto needed = static_cast<std::uint32_t>(kDetailPathOffset + 2 * (port.path.size() + 1));
    std::uint32_t size = port.reported_detail_size ? port.reported_detail_size : needed;
    std::uint32_t size_error = kErrorInsufficientBuffer;
    if (port.query_fault.on) {
      size = 0;
      size_error = port.query_fault.error;
    }
    const std::string detail_error = "SetupDiGetDeviceInterfaceDetail Error ";
    if (size < kDetailDeclaredSize) {
      e.err += detail_error + number(size_error) + "\n";
      continue;
    }
    if (s.heap_exhausted || size > kHeapLimit) {
      e.err += detail_error + number(kErrorNotEnoughMemory) + "\n";
      continue;
    }
    if (port.fetch_fault.on) {
      e.err += detail_error + number(port.fetch_fault.error) + "\n";
      continue;
    }
    if (size < needed && !port.short_fetch_succeeds) {
      e.err += detail_error + number(kErrorInsufficientBuffer) + "\n";
      continue;
    }
    // The block holds this many units; the path is what they carry up to
    // the first NUL, and no more than 259 units of it.
    std::size_t block_units = (size - kDetailPathOffset) / 2;
    std::u16string path;
    for (std::size_t u = 0; u < block_units && path.size() < kPathUnits - 1; ++u) {
      char16_t unit = u < port.path.size() ? port.path[u] : port.path_without_nul ? kNoNulFill : 0;
      if (unit == 0) break;
      path += unit;
    }
    // The open reaches the first port of exactly that (cut) path.
    const fake::Port* opened = nullptr;
    for (const fake::Port& other : s.ports) {
      if (other.path.substr(0, kPathUnits - 1) == path) {
        opened = &other;
        break;
      }
    }
    if (opened == nullptr || opened->probe_fault.on) {
      e.err += "CreateFile error " +
               number(opened == nullptr ? kErrorFileNotFound : opened->probe_fault.error) + "\n";
      continue;
    }
    ++e.probes;
    if (opened->io_error_after_write != 0) {
      e.err += "DeviceIoControl Error " + number(opened->io_error_after_write) + "\n";
      continue;
    }
    if (names_channel(opened->record, s.name)) {
      e.result = 1;
      e.path = path;
      break;
    }
  }
  if (!e.result) {
    e.err += s.name + " not found\nTurn UAC off and make sure that " + s.name +
             " is defined in the VM config.\n";
  }
  return e;
}

// The fake, with checks of what must hold at each call of the walk.
class CheckedFake : public FakePlatform {
 public:
  std::string breaches;

  int enum_device_interfaces(DevInfoSet set, const Guid& interface_class, std::uint32_t index,
                             InterfaceData* data) override {
    if (details_taken != details_released || probes_opened != probes_closed) {
      breaches += "a detail record or probe outlives its interface\n";
    }
    return FakePlatform::enum_device_interfaces(set, interface_class, index, data);
  }
  Handle create_file(const char16_t* path, std::uint32_t access, std::uint32_t share_mode,
                     std::uint32_t disposition, std::uint32_t flags) override {
    if (details_taken != details_released) breaches += "the detail record is held at the probe\n";
    if (access != kGenericRead || share_mode != 0 || disposition != kOpenExisting ||
        flags != kFileAttributeNormal) {
      breaches += "a probe open with the wrong arguments\n";
    }
    return FakePlatform::create_file(path, access, share_mode, disposition, flags);
  }
  int device_io_control(Handle handle, std::uint32_t code, void* out, std::uint32_t out_size,
                        std::uint32_t* returned) override {
    if (code != kPortInfoRequest || out_size != kPortInfoSize) {
      breaches += "a name request with the wrong code or size\n";
    }
    return FakePlatform::device_io_control(handle, code, out, out_size, returned);
  }
};

void run(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  Script script = read_script(in);
  Expected want = expect(script);

  CheckedFake fake;
  for (const fake::Port& port : script.ports) {
    fake.port(fake.add_port_raw(port.path, port.record)) = port;
  }
  fake.set_creation_fails = script.set_fails;
  fake.set_error = script.set_error;
  fake.heap_exhausted = script.heap_exhausted;
  fake.heap_limit = kHeapLimit;
  if (script.destroy_fails) fake.fail_nth(Op::kDestroySet, 0, script.destroy_error);
  if (script.enum_stop != SIZE_MAX) {
    fake.fail_nth(Op::kEnumInterfaces, script.enum_stop, script.enum_error);
  }

  // Exactly sized blocks, so that the sanitizer sees any access past them.
  std::vector<char> name(script.name.begin(), script.name.end());
  name.push_back('\0');
  name.shrink_to_fit();
  auto* path = new char16_t[1][kPathUnits];
  for (char16_t& unit : *path) unit = u'#';

  int result = find_port(fake, name.data(), *path);
  std::u16string buffer(*path, kPathUnits);
  std::u16string returned = buffer.substr(0, buffer.find(u'\0'));

  std::string detail = "stderr: " + escaped(fake.err()) + "\nexpected: " + escaped(want.err);
  if (showing()) {
    std::fprintf(stderr, "result %d, %d probes, path of %zu units\n%s\n", result,
                 fake.probes_opened, returned.size(), detail.c_str());
  }
  if (result != want.result) violated("result", detail);
  if (fake.err() != want.err) violated("standard error", detail);
  if (result) {
    if (returned.size() == kPathUnits || returned != want.path) violated("port path", detail);
  } else if (buffer != std::u16string(kPathUnits, u'#')) {
    violated("the path buffer is written on failure", detail);
  }
  if (!fake.all_released()) violated("every set, detail record and probe released once", detail);
  if (fake.sets_created != want.sets) violated("sets created", detail);
  if (fake.probes_opened != want.probes) violated("probes opened", detail);
  if (fake.data_opened != 0) violated("the lookup opens a port for data", detail);
  if (fake.count(Op::kEnumInterfaces) != want.enumerations) violated("enumerations", detail);
  if (!fake.breaches.empty()) violated("walk order", fake.breaches + detail);
  delete[] path;
}

}  // namespace
}  // namespace chanpipe::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  chanpipe::fuzz::run(data, size);
  return 0;
}
