// A scripted machine for the logic's tests: ports with names, paths and
// data, standard streams, a fault for any single call, and a log of every
// call with its arguments. It also counts every set, detail record and
// handle taken and released.
//
// It keeps the contracts of platform/platform.h: every failure sets the
// reason that get_last_error() returns, and a scripted fault fails its call
// with exactly the error the test gave. An open without kFileFlagNoBuffering is the lookup's
// name probe: it may only ask the port's name and be closed (reads and
// writes on it are counted as bad handles), and Port::probe_fault fails it;
// an open with the flag is the data open.
#ifndef CHANPIPE_TESTS_FAKE_PLATFORM_H_
#define CHANPIPE_TESTS_FAKE_PLATFORM_H_

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace chanpipe::fake {

enum class Op {
  kGetClassDevs,
  kEnumInterfaces,
  kDetailQuery,
  kDetailFetch,
  kDestroySet,
  kCreateFile,
  kIoControl,
  kCloseHandle,
  kGetStdHandle,
  kReadFile,
  kWriteFile,
  kHeapAlloc,
  kHeapFree,
  kPrint,  // not a platform call: a line on standard error, kept for order
};

const char* op_name(Op op);

struct Call {
  Op op;
  std::string text;  // the call and its arguments, e.g. "CreateFile(p0, 80000000, 0, 3, 80)"
};

// One scripted read: bytes delivered, or a failure with an error number.
struct ReadStep {
  std::string bytes;
  std::uint32_t error = 0;
  // When nonzero, the count the read reports whatever it delivered: a
  // driver that claims more, or fewer, bytes than it gave.
  std::uint32_t claim = 0;
};

// One scripted write: take at most `accept` bytes, or fail with an error.
struct WriteStep {
  std::uint32_t accept = UINT32_MAX;
  std::uint32_t error = 0;
};

struct Stream {
  std::deque<ReadStep> reads;  // when empty, reads fail with end_error
  std::uint32_t end_error = kErrorBrokenPipe;
  std::deque<WriteStep> writes;  // when empty, writes take everything
  std::string written;
  std::vector<std::uint32_t> write_sizes;  // the size asked of each write call
};

// A scripted failure of one call: when `on`, the call fails with `error`
// (which may be any value, 0 included).
struct Fault {
  bool on = false;
  std::uint32_t error = 0;
};

struct Port {
  std::u16string path;
  std::string record;  // what the name request returns (may be short, or lack a NUL)
  std::uint32_t reported_detail_size = 0;  // 0: the size the path needs
  bool path_without_nul = false;           // the fetch fills the record with no NUL
  std::uint32_t io_error_after_write = 0;  // the request writes the record, then fails
  // A fetch into a block too small for the path succeeds anyway, with the
  // first units that fit and no NUL (a driver that fills what it is given).
  bool short_fetch_succeeds = false;
  // Faults of this port's own calls, wherever they fall in the run.
  Fault query_fault;  // the size query fails and reports no size
  Fault fetch_fault;
  Fault probe_fault;  // the name probe's open (not the data open)
  Fault close_fault;  // the close fails, yet the handle is gone
  Stream data;
};

constexpr Handle kFakeStdIn = 0x100;
constexpr Handle kFakeStdOut = 0x101;
constexpr std::uint32_t kClobberedError = 0xdead;

class FakePlatform : public Platform {
 public:
  FakePlatform();
  ~FakePlatform() override;

  // A port named `name` with path "\\?\port#<index>". Returns its index.
  std::size_t add_port(const std::string& name);
  // A port with a record of exactly these bytes and the given path.
  std::size_t add_port_raw(const std::u16string& path, const std::string& record);
  static std::string record_for(const std::string& name);
  Port& port(std::size_t index) { return ports_.at(index); }
  std::size_t port_count() const { return ports_.size(); }

  Stream std_in;
  Stream std_out;

  // Makes the n-th (from 0) call of `op` fail with `error`.
  void fail_nth(Op op, std::size_t nth, std::uint32_t error);
  // Makes the k-th (from 0) platform call of the run fail with `error`.
  void fail_call(std::size_t k, std::uint32_t error);
  bool set_creation_fails = false;  // with set_error
  std::uint32_t set_error = 0;
  bool heap_exhausted = false;        // every allocation fails with 8
  std::size_t heap_limit = SIZE_MAX;  // larger allocations fail with 8

  // Observations.
  const std::vector<Call>& log() const { return log_; }
  std::vector<std::string> call_texts() const;  // platform calls only, in order
  std::size_t call_count() const { return call_count_; }
  const std::string& err() const { return err_; }
  std::size_t count(Op op) const;

  int sets_created = 0, sets_destroyed = 0;
  int details_taken = 0, details_released = 0;
  int probes_opened = 0, probes_closed = 0;
  int data_opened = 0, data_closed = 0;
  int bad_releases = 0;  // a release of something not held, or held no more
  int bad_handles = 0;   // use of a handle that is not open
  bool all_released() const;

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
  struct OpenHandle {
    std::size_t port;
    bool probe;
    std::uint32_t access;
  };

  // Logs the call and tells whether a scripted fault hits it.
  bool begin(Op op, const std::string& text);
  int fail(std::uint32_t error);
  Stream* stream_of(Handle handle, std::uint32_t access);

  std::vector<Port> ports_;
  std::vector<Call> log_;
  std::string err_;
  std::size_t call_count_ = 0;
  std::map<Op, std::size_t> op_counts_;
  std::map<std::pair<Op, std::size_t>, std::uint32_t> op_faults_;
  std::map<std::size_t, std::uint32_t> call_faults_;
  std::uint32_t last_error_ = 0;
  std::set<DevInfoSet> live_sets_;
  DevInfoSet next_set_ = 0x500;
  std::map<void*, std::size_t> live_details_;
  std::map<Handle, OpenHandle> open_handles_;
  Handle next_handle_ = 0x1000;
};

std::string narrow(const std::u16string& text);  // for messages: units above 0x7f as '?'

}  // namespace chanpipe::fake

#endif  // CHANPIPE_TESTS_FAKE_PLATFORM_H_
