// A URL read through the platform's Internet client library (WinINet).
//
// The library gives a sequential download; positioning is done here. An HTTP
// URL is asked for in windows ("Range: bytes=N-M"), the next one when the
// reads reach the end of the current one, so that closing a download
// part-way (a seek, or Close) never reads more than the rest of one window,
// whatever the file's size, and the connection stays reusable. A window
// after an open or a seek is kFirstWindow; each next one of a reader that
// reads on is twice the last, up to kWindow.
// The size comes from the first answer (the total of its Content-Range, or
// the Content-Length of a whole body). A server that ignores ranges (200 with
// the whole body) is still read right: the one download runs to the end, the
// bytes before a position are read and dropped, and forward seeks skip on the
// open download instead of asking again. Short forward seeks within the
// current download always skip on it. A position at or past the end needs no
// request at all: reads give 0 there, and the download stays open where it
// stood for a seek back; when the size is unknown, a window that starts past
// the end (416) is the end. A 416 whose "bytes */TOTAL" holds the range
// asked for is a failure: never taken for an empty file or an early end.
// A 206 must name the part asked for (its start, the same total); bytes are
// only handed out as far as its Content-Range and the body agree.
//
// No notifications are posted for URLs.
#pragma once

#include "file_source.h"
#include "handle_win.h"

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
    uint32_t LastError() const override { return m_dwLastError; }
    // The size in bytes, -1 when the server does not tell it.
    int64_t Size() const { return m_llSize; }

    // Connecting, sending and waiting for data each give up after this long.
    static constexpr uint32_t kNetworkTimeoutMs = 20000;

    // Forward seeks up to this far skip bytes on the open download.
    static constexpr int64_t kSkipLimit = 64 * 1024;

    // The bytes asked for at once of a server that honours ranges. Closing a
    // download part-way costs up to the rest of its window: Wine's library
    // reads it first, 1 KiB at a time (10 to 25 MB/s), to keep the
    // connection. At kWindow that is a few hundred ms at most, whatever the
    // file's size. Each window costs a request, a round trip and some work of
    // the library (5 to 10 ms under Wine): at kWindow a few % of a straight
    // read on a network. A client's read (up to 4 MiB) spans at most two
    // windows. After an open or a seek a reader often reads little before it
    // seeks again, so that window is kFirstWindow (a few 64 KiB reads), and
    // the next ones double while the reader reads on.
    static constexpr int64_t kFirstWindow = 256 * 1024;
    static constexpr int64_t kWindow = 4 * 1024 * 1024;

private:
    enum class Fetch
    {
        kOk,
        kEnd,      // a size the server did not tell ends at or before the position
        kFailed,
    };
    // Closes the current download, then asks for the URL from `position`:
    // `window` bytes of it (as far as the file goes), or the whole of it
    // (read and dropped up to `position`) from a server that ignores ranges.
    // On kOk it is the current download.
    Fetch Request(int64_t position, int64_t window);
    // The last byte of `window` bytes from `position`, within the file.
    int64_t WindowLast(int64_t position, int64_t window) const;
    // Reads and drops `count` bytes of the current download.
    bool Skip(void *request, int64_t count);
    void Fail(uint32_t error) { m_dwLastError = error; }
    static void SetTimeouts(void *handle);

    std::wstring m_userAgent;
    std::wstring m_url;
    CInternetHandle m_hInternet;   // of InternetOpenW
    CInternetHandle m_hUrl;        // of InternetOpenUrlW; none when empty, past an untold end or failed
    uint32_t m_dwHandleId = 0;
    uint32_t m_dwLastError = 0;
    int64_t m_llSize = -1;
    int64_t m_llPosition = 0;      // where the client is
    int64_t m_llDownload = 0;      // where m_hUrl's download stands; the same unless at or past the end
    int64_t m_llDownloadEnd = -1;  // where m_hUrl's window ends; -1 for a download to the end of the file
    int64_t m_llWindow = 0;        // the bytes m_hUrl's window asked for
    bool m_bHttp = false;
    bool m_bRangesIgnored = false;
};
