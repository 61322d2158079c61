#include "cli/chanpipe_main.h"

#include <cstring>

#include "cli/copy_streams.h"
#include "cli/exit_status.h"
#include "discovery/find_port.h"

namespace chanpipe {

int chanpipe_main(Platform& platform, int argc, char** argv) {
  if (argc < 3) {
    platform.print_error("Usage: chanpipe [r|w] [channel name]\n");
    return kStatusUsage;
  }
  const char* mode = argv[1];
  const char* channel_name = argv[2];
  bool reading = std::strcmp(mode, "r") == 0;
  if (!reading && std::strcmp(mode, "w") != 0) {
    platform.print_error("Usage: chanpipe [r|w] [channel name]\n");
    return kStatusUsage;
  }

  char16_t port_path[kPathUnits] = {};
  if (!find_port(platform, channel_name, port_path)) {
    platform.print_error("Unable to find %s\n", channel_name);
    return kStatusNotFound;
  }

  // The port handle, like the standard handles, is left to process exit.
  Handle port = platform.create_file(port_path, reading ? kGenericRead : kGenericWrite, 0,
                                     kOpenExisting, kFileFlagNoBuffering | kFileAttributeNormal);
  if (port == kInvalidHandle) {
    platform.print_error("CreateFile error %d\n", static_cast<int>(platform.get_last_error()));
    return kStatusOpenFailed;
  }

  if (reading) return copy_streams(platform, port, platform.get_std_handle(kStdOutputHandle));
  return copy_streams(platform, platform.get_std_handle(kStdInputHandle), port);
}

}  // namespace chanpipe
