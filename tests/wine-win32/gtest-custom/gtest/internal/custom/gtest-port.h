// GoogleTest's hook for platform code, found before Debian's empty one.
// mingw's win32 thread model has no std::mutex or std::condition_variable,
// which GoogleTest's Notification is built on; this one waits on a Windows
// event instead. Everything else in GoogleTest uses Windows' own primitives.
#ifndef CHANPIPE_TESTS_WINE_GTEST_CUSTOM_GTEST_PORT_H_
#define CHANPIPE_TESTS_WINE_GTEST_CUSTOM_GTEST_PORT_H_

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  ~Notification() { CloseHandle(event_); }

  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#endif  // CHANPIPE_TESTS_WINE_GTEST_CUSTOM_GTEST_PORT_H_
