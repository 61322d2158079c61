#include "cli/chanpipe_main.h"
#include "platform/platform-linux.h"

int main(int argc, char** argv) {
  chanpipe::LinuxPlatform platform("/sys", "/dev");
  return chanpipe::chanpipe_main(platform, argc, argv);
}
