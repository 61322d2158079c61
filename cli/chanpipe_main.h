#ifndef CHANPIPE_CLI_CHANPIPE_MAIN_H_
#define CHANPIPE_CLI_CHANPIPE_MAIN_H_

#include "platform/platform.h"

namespace chanpipe {

// One whole run: `chanpipe r|w <channel name>`. Returns the exit status.
int chanpipe_main(Platform& platform, int argc, char** argv);

}  // namespace chanpipe

#endif  // CHANPIPE_CLI_CHANPIPE_MAIN_H_
