#ifndef CHANPIPE_CLI_EXIT_STATUS_H_
#define CHANPIPE_CLI_EXIT_STATUS_H_

namespace chanpipe {

// The process exit status of every run.
enum ExitStatus {
  kStatusSourceEnded = 0,
  kStatusUsage = 1,
  kStatusNotFound = 2,
  kStatusOpenFailed = 3,
  kStatusWriteFailed = 4,
  kStatusReadFailed = 5,
};

}  // namespace chanpipe

#endif  // CHANPIPE_CLI_EXIT_STATUS_H_
