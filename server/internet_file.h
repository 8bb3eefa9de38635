// A URL read through the platform's Internet client library (WinINet).
//
// The library gives a sequential download; positioning is done here. The
// size comes from the response (Content-Length, or the total of a
// Content-Range); a seek re-requests the URL from the new position with a
// "Range: bytes=N-" header. A server that ignores ranges (200 with the whole
// body) is still read right: the bytes before the position are read and
// dropped, and later forward seeks skip on the open download instead of
// asking again. Short forward seeks always skip on the open download.
// A position at or past the end needs no request at all: reads give 0 there,
// and the download stays open where it stood for a seek back.
//
// No notifications are posted for URLs.
#pragma once

#include "file_source.h"
#include "win/handle.h"

#include <cstdint>
#include <string>

// Closes a handle of the Internet library (an HINTERNET, here a void *, so
// that this header needs no <wininet.h>).
struct CloseInternetHandle
{
    void operator()(void *h) const;
};

// A handle of the Internet library: a session, a connection or a download.
using CInternetHandle = CUniqueAny<void *, CloseInternetHandle>;

class CInternetFileInterface : public virtual CVirtualFileInterface
{
public:
    CInternetFileInterface() = default;
    ~CInternetFileInterface() override;

    bool Open(const WireChar *name) override;
    int Read(void *buffer, unsigned count) override;
    long Seek(long offset, int origin) override;
    // Closes the URL and then the library handle. Always 1.
    int Close() override;
    // A 32-bit value of its own for each opened URL: never 0, never -1, and
    // never a pointer or handle.
    uint32_t GetHandle() override { return m_dwHandleId; }

    // The last error of the Internet library (or of the response), for the
    // OPEN reply of a URL that could not be opened or sized.
    uint32_t LastError() const { return m_dwLastError; }
    // The size in bytes, -1 when the server does not tell it.
    int64_t Size() const { return m_llSize; }

    // Connecting, sending and waiting for data each give up after this long.
    static constexpr uint32_t kNetworkTimeoutMs = 20000;

    // Forward seeks up to this far skip bytes on the open download.
    static constexpr int64_t kSkipLimit = 64 * 1024;

private:
    // Requests the URL from `position` on (with a range when above 0) and
    // makes it the current download, or leaves the current one untouched.
    bool Request(int64_t position);
    // Reads and drops `count` bytes of the current download.
    bool Skip(void *request, int64_t count);
    void Fail(uint32_t error) { m_dwLastError = error; }
    static void SetTimeouts(void *handle);

    std::wstring m_userAgent;
    std::wstring m_url;
    CInternetHandle m_hInternet;   // of InternetOpenW
    CInternetHandle m_hUrl;        // of InternetOpenUrlW; none at or past the end
    uint32_t m_dwHandleId = 0;
    uint32_t m_dwLastError = 0;
    int64_t m_llSize = -1;
    int64_t m_llPosition = 0;   // where the client is
    int64_t m_llDownload = 0;   // where m_hUrl's download stands; the same unless at or past the end
    bool m_bHttp = false;
    bool m_bRangesIgnored = false;
};
