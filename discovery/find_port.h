#ifndef CHANPIPE_DISCOVERY_FIND_PORT_H_
#define CHANPIPE_DISCOVERY_FIND_PORT_H_

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "platform/port_driver.h"

namespace chanpipe {

// True when the record holds, within its bytes, a name equal to
// channel_name byte for byte. A record with no NUL after offset 7 names
// nothing.
bool record_names(const unsigned char (&record)[kPortInfoSize], const char* channel_name);

// Walks the present ports and writes the device path of the first one
// whose name equals channel_name into port_path. Returns 1 when found,
// 0 otherwise; its own messages are already on standard error.
int find_port(Platform& platform, const char* channel_name, char16_t (&port_path)[kPathUnits]);

}  // namespace chanpipe

#endif  // CHANPIPE_DISCOVERY_FIND_PORT_H_
