// What the guest's virtio-serial port driver promises: the interface class
// it lists its ports under, and the request that tells a port's name. The
// lookup relies on it and each platform layer answers or passes it on.
#ifndef CHANPIPE_PLATFORM_PORT_DRIVER_H_
#define CHANPIPE_PLATFORM_PORT_DRIVER_H_

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace chanpipe {

// {6FDE7521-1B65-48AE-B628-80BE62016026}: the interface class of the
// virtio-serial ports.
constexpr Guid kPortInterfaceClass = {
    0x6fde7521, 0x1b65, 0x48ae, {0xb6, 0x28, 0x80, 0xbe, 0x62, 0x01, 0x60, 0x26}};

// The port information request, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800,
// METHOD_BUFFERED, FILE_ANY_ACCESS), and its reply: the driver's own fields,
// then the port name, NUL-terminated, from offset 7.
constexpr std::uint32_t kPortInfoRequest = 0x222000;
constexpr std::size_t kPortInfoSize = 512;
constexpr std::size_t kPortNameOffset = 7;

}  // namespace chanpipe

#endif  // CHANPIPE_PLATFORM_PORT_DRIVER_H_
