#include "cli/copy_streams.h"

#include "cli/exit_status.h"

namespace chanpipe {

namespace {

// Writes all of chunk[0, count), one call per attempt, each bracketed by
// the two progress lines. Returns 1, or 0 after printing the failure.
int write_chunk(Platform& platform, Handle destination, const unsigned char* chunk,
                std::uint32_t count) {
  std::uint32_t done = 0;
  while (done < count) {
    platform.print_error("Executing WriteFile\n");
    std::uint32_t written = 0;
    int ok = platform.write_file(destination, chunk + done, count - done, &written);
    // Taken before the next line is printed, which may change it.
    std::uint32_t error = (ok && written > 0) ? 0 : platform.get_last_error();
    platform.print_error("Finished WriteFile\n");
    // A success that took nothing would loop for ever: it counts as a failure.
    if (!ok || written == 0) {
      platform.print_error("WriteFile error %d\n", static_cast<int>(error));
      return 0;
    }
    done += written < count - done ? written : count - done;
  }
  return 1;
}

}  // namespace

int copy_streams(Platform& platform, Handle source, Handle destination) {
  unsigned char chunk[kChunkSize];
  for (;;) {
    std::uint32_t count = 0;
    if (!platform.read_file(source, chunk, kChunkSize, &count)) {
      std::uint32_t error = platform.get_last_error();
      if (error == kErrorBrokenPipe) return kStatusSourceEnded;
      platform.print_error("ReadFile error %d\n", static_cast<int>(error));
      return kStatusReadFailed;
    }
    // End of a redirected file: nothing more will come.
    if (count == 0) return kStatusSourceEnded;
    if (count > kChunkSize) count = kChunkSize;
    if (!write_chunk(platform, destination, chunk, count)) return kStatusWriteFailed;
  }
}

}  // namespace chanpipe
