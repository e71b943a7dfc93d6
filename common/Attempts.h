#ifndef VELTORA_ATTEMPTS_H
#define VELTORA_ATTEMPTS_H

// Bounded retries: an update run restarts, and the setup program or the installer
// is started or the install copied, at most this many times.
namespace Attempts {
constexpr int limit = 5;
} // namespace Attempts

#endif
