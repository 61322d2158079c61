// Helpers for the tests that run on Windows (under Wine here): temporary
// files, pipes, threads, standard error capture and Wine detection.
#ifndef CHANPIPE_TESTS_WINE_WIN32_TEST_SUPPORT_H_
#define CHANPIPE_TESTS_WINE_WIN32_TEST_SUPPORT_H_

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace chanpipe_test {

// A system handle as the platform layer carries it.
inline std::intptr_t as_handle(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// True when the program runs under Wine rather than on Windows.
bool running_under_wine();

// Marks a check where Wine does not follow Windows' documented behaviour:
// the caller has already checked what Wine does, and the test is reported
// as skipped with the reason, never as a plain pass.
#define CHANPIPE_KNOWN_WINE_DIFFERENCE(reason) GTEST_SKIP() << "Known Wine difference: " << (reason)

// Owns a handle; closes it unless released.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { reset(); }

  HANDLE get() const { return handle_; }
  void reset(HANDLE handle = nullptr);

 private:
  HANDLE handle_ = nullptr;
};

// An anonymous pipe. The buffer size is only a hint to the system.
struct Pipe {
  Pipe();
  OwnedHandle reader;
  OwnedHandle writer;
};

// A file in the temporary folder, deleted at the end of its scope.
class TempFile {
 public:
  explicit TempFile(const std::string& contents = std::string());
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  const std::wstring& path() const { return path_; }
  // Opens the file with the given access, sharing it with everyone.
  HANDLE open(DWORD access, bool inheritable = false) const;
  std::string contents() const;

 private:
  std::wstring path_;
};

// Writes all of data to handle; fails the test otherwise.
void write_all(HANDLE handle, const std::string& data);

// Reads handle until its end (a failed read, or a zero-byte one).
std::string read_to_end(HANDLE handle);

// Runs a function on a thread of its own, joined at the end of the scope.
class Thread {
 public:
  explicit Thread(std::function<void()> body);
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread() { join(); }
  void join();

 private:
  static DWORD WINAPI run(void* body);
  std::function<void()> body_;
  OwnedHandle thread_;
};

// Sends the C runtime's standard error (descriptor 2, in text mode as at
// start-up) to a temporary file for the life of the object.
class StderrCapture {
 public:
  StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture();

  // Stops the capture and returns the bytes the runtime wrote.
  std::string finish();

 private:
  TempFile file_;
  int saved_ = -1;
  bool done_ = false;
};

// Runs the selected tests. A selection that names no test fails, so that a
// renamed or lost case cannot pass unseen.
int run_tests(int argc, char** argv);

// Data with every byte value, line ends and the text-mode end-of-file byte
// among them, so that any translation shows.
std::string every_byte_pattern(std::size_t size);

// The given text repeated count times.
std::string repeat(const std::string& text, std::size_t count);

}  // namespace chanpipe_test

#endif  // CHANPIPE_TESTS_WINE_WIN32_TEST_SUPPORT_H_
