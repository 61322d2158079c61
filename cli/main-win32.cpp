#include "cli/chanpipe_main.h"
#include "platform/platform-win32.h"

int main(int argc, char** argv) {
  chanpipe::Win32Platform platform;
  return chanpipe::chanpipe_main(platform, argc, argv);
}
