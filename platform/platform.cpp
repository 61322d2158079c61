#include "platform/platform.h"

#include <cstring>

namespace chanpipe {

bool same_guid(const Guid& a, const Guid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

void Platform::print_error(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vprint_error(format, args);
  va_end(args);
}

}  // namespace chanpipe
