#include "win32_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <utility>

namespace chanpipe_test {

bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void OwnedHandle::reset(HANDLE handle) {
  if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = handle;
}

Pipe::Pipe() {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, nullptr, 65536)) {
    ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
    return;
  }
  reader.reset(read_end);
  writer.reset(write_end);
}

TempFile::TempFile(const std::string& contents) {
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"cpt", 0, name) == 0) {
    ADD_FAILURE() << "no temporary file: " << GetLastError();
    return;
  }
  path_ = name;
  OwnedHandle file(open(GENERIC_WRITE));
  write_all(file.get(), contents);
}

TempFile::~TempFile() {
  if (!path_.empty()) DeleteFileW(path_.c_str());
}

HANDLE TempFile::open(DWORD access, bool inheritable) const {
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, inheritable ? TRUE : FALSE};
  HANDLE file =
      CreateFileW(path_.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  &attributes, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) ADD_FAILURE() << "cannot open a temporary file";
  return file;
}

std::string TempFile::contents() const {
  OwnedHandle file(open(GENERIC_READ));
  return read_to_end(file.get());
}

void write_all(HANDLE handle, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    DWORD written = 0;
    if (!WriteFile(handle, data.data() + done, static_cast<DWORD>(data.size() - done), &written,
                   nullptr) ||
        written == 0) {
      ADD_FAILURE() << "WriteFile failed: " << GetLastError();
      return;
    }
    done += written;
  }
}

std::string read_to_end(HANDLE handle) {
  std::string data;
  char buffer[65536];
  DWORD count = 0;
  while (ReadFile(handle, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    data.append(buffer, count);
  }
  return data;
}

Thread::Thread(std::function<void()> body) : body_(std::move(body)) {
  thread_.reset(CreateThread(nullptr, 0, &Thread::run, &body_, 0, nullptr));
  if (thread_.get() == nullptr) ADD_FAILURE() << "CreateThread failed: " << GetLastError();
}

void Thread::join() {
  if (thread_.get() == nullptr) return;
  WaitForSingleObject(thread_.get(), INFINITE);
  thread_.reset();
}

DWORD WINAPI Thread::run(void* body) {
  (*static_cast<std::function<void()>*>(body))();
  return 0;
}

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  saved_ = _dup(2);
  // Text mode, as the runtime opens standard error at start-up.
  int fd = _wopen(file_.path().c_str(), _O_WRONLY | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
  if (saved_ < 0 || fd < 0 || _dup2(fd, 2) != 0) ADD_FAILURE() << "cannot capture stderr";
  if (fd >= 0) _close(fd);
}

StderrCapture::~StderrCapture() { finish(); }

std::string StderrCapture::finish() {
  if (!done_) {
    done_ = true;
    std::fflush(stderr);
    if (saved_ >= 0) {
      _dup2(saved_, 2);
      _close(saved_);
    }
  }
  return file_.contents();
}

int run_tests(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int status = RUN_ALL_TESTS();
  if (testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
    std::fprintf(stderr, "no test matches the selection\n");
    return 1;
  }
  return status;
}

std::string every_byte_pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    // 251 is prime, so chunk boundaries never line up with the pattern.
    data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  }
  return data;
}

std::string repeat(const std::string& text, std::size_t count) {
  std::string result;
  for (std::size_t i = 0; i < count; ++i) result += text;
  return result;
}

}  // namespace chanpipe_test
