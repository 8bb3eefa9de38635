// The session-side channel API of xrdp (libxrdpapi, which Debian ships
// without its header), as xrdp 0.9 defines it. Loaded at run time: the
// library sits in xrdp's own folder, and only the bridge needs it.
#pragma once

namespace xrdpapi {

constexpr unsigned int kCurrentSession = 0xffffffff;   // WTS_CURRENT_SESSION
constexpr unsigned int kStaticChannel = 0;             // WTS_CHANNEL_OPTION_STATIC

// Returns 1 on success (a read of 0 bytes: nothing came in the time), 0 on an error or a closed channel.
using OpenEx = void *(*)(unsigned int session, const char *name, unsigned int flags);
using Write = int (*)(void *channel, const char *buffer, unsigned int length, unsigned int *written);
using Read = int (*)(void *channel, unsigned int timeoutMs, char *buffer, unsigned int size, unsigned int *read);
using Close = int (*)(void *channel);

} // namespace xrdpapi
