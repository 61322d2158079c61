#include <fcntl.h>

#include <cerrno>

#include "cli/chanpipe_main.h"
#include "platform/linux.h"

namespace {

// A closed standard descriptor would be the lowest free number, so the
// port's open would take it: with stderr closed, the progress lines would
// go into the port among the data. Path-only handles hold 0 to 2 instead;
// reads and writes on them fail (EBADF), as on a missing standard handle.
void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lower ones are open by now, so this lands on fd itself.
      open("/dev/null", O_PATH);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  hold_standard_descriptors();
  chanpipe::LinuxPlatform platform("/sys", "/dev");
  return chanpipe::chanpipe_main(platform, argc, argv);
}
