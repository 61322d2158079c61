#ifndef CHANPIPE_CLI_COPY_STREAMS_H_
#define CHANPIPE_CLI_COPY_STREAMS_H_

#include <cstdint>

#include "platform/platform.h"

namespace chanpipe {

constexpr std::uint32_t kChunkSize = 4096;

// Copies source to destination one chunk at a time until the source ends
// (0), a write fails (4) or a read fails otherwise (5).
int copy_streams(Platform& platform, Handle source, Handle destination);

}  // namespace chanpipe

#endif  // CHANPIPE_CLI_COPY_STREAMS_H_
