#include "internet_file_win.h"

#include "resource.h"
#include "trace.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cwchar>
#include <new>
#include <utility>
#include <vector>

namespace {

static_assert(sizeof(wchar_t) == sizeof(WireChar), "URLs are UTF-16");

// INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_IGNORE_CERT_CN_INVALID
constexpr DWORD kUrlFlags = 0x80401000;
static_assert(kUrlFlags == (INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_IGNORE_CERT_CN_INVALID),
              "URL open flags");

constexpr wchar_t kDefaultUserAgent[] = L"Mozilla/4.0 (compatible; MSIE 6.0;Windows NT 5.1)";

// Positions travel as signed 32 bits.
constexpr int64_t kMaxPosition = INT32_MAX;

constexpr DWORD kSkipBlock = 64 * 1024;

HINTERNET AsHandle(void *h) { return static_cast<HINTERNET>(h); }

uint32_t NextHandleId()
{
    // Bit 30 set and bit 31 clear: never 0, never -1, and far from the small
    // descriptors of local files.
    static std::atomic<uint32_t> s_dwCounter{0};
    uint32_t low;
    do {
        low = (s_dwCounter.fetch_add(1) + 1) & 0x3FFFFFFFu;
    } while (low == 0);
    return 0x40000000u | low;
}

std::wstring LoadUserAgent()
{
    wchar_t agent[260];
    const int n = LoadStringW(GetModuleHandleW(nullptr), IDS_USER_AGENT, agent, 260);
    return n > 0 ? std::wstring(agent, static_cast<size_t>(n)) : std::wstring(kDefaultUserAgent);
}

// A decimal number of at most 18 digits; -1 when there is none.
int64_t ParseNumber(const wchar_t *&p)
{
    int64_t v = 0;
    int digits = 0;
    while (*p >= L'0' && *p <= L'9' && digits < 18) {
        v = v * 10 + (*p - L'0');
        ++p;
        ++digits;
    }
    return digits ? v : -1;
}

// "bytes FIRST-LAST/TOTAL", TOTAL a number or "*" (-1).
bool ParseContentRange(const wchar_t *p, int64_t *first, int64_t *last, int64_t *total)
{
    while (*p == L' ')
        ++p;
    if (_wcsnicmp(p, L"bytes", 5) != 0)
        return false;
    p += 5;
    while (*p == L' ')
        ++p;
    *first = ParseNumber(p);
    if (*first < 0 || *p++ != L'-')
        return false;
    *last = ParseNumber(p);
    if (*last < *first || *p++ != L'/')
        return false;
    if (*p == L'*') {
        *total = -1;
        return true;
    }
    *total = ParseNumber(p);
    return *total > *last;
}

// "bytes */TOTAL" of a 416; -1 when the header says no total.
int64_t ParseUnsatisfiedRange(const wchar_t *p)
{
    while (*p == L' ')
        ++p;
    if (_wcsnicmp(p, L"bytes", 5) != 0)
        return -1;
    p += 5;
    while (*p == L' ')
        ++p;
    if (*p++ != L'*' || *p++ != L'/')
        return -1;
    return ParseNumber(p);
}

std::wstring RangeHeader(int64_t first, int64_t last)
{
    return L"Range: bytes=" + std::to_wstring(first) + L"-" + std::to_wstring(last) + L"\r\n";
}

bool QueryString(HINTERNET h, DWORD info, wchar_t (&out)[128])
{
    DWORD size = sizeof out;
    DWORD index = 0;
    if (!HttpQueryInfoW(h, info, out, &size, &index))
        return false;
    out[127] = 0;
    return true;
}

// The status of an HTTP response; false for a non-HTTP download.
bool QueryStatus(HINTERNET h, DWORD *status)
{
    DWORD size = sizeof *status;
    DWORD index = 0;
    return HttpQueryInfoW(h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, status, &size, &index) != FALSE;
}

bool QueryContentRange(HINTERNET h, int64_t *first, int64_t *last, int64_t *total)
{
    wchar_t text[128];
    return QueryString(h, HTTP_QUERY_CONTENT_RANGE, text) && ParseContentRange(text, first, last, total);
}

// The total a 416 tells; -1 when it tells none.
int64_t QueryUnsatisfiedTotal(HINTERNET h)
{
    wchar_t text[128];
    return QueryString(h, HTTP_QUERY_CONTENT_RANGE, text) ? ParseUnsatisfiedRange(text) : -1;
}

int64_t QueryContentLength(HINTERNET h)
{
    wchar_t text[128];
    if (!QueryString(h, HTTP_QUERY_CONTENT_LENGTH, text))
        return -1;
    const wchar_t *p = text;
    while (*p == L' ')
        ++p;
    const int64_t n = ParseNumber(p);
    return *p == 0 || *p == L' ' ? n : -1;
}

// What a refusing server's status means for the client.
uint32_t StatusError(DWORD status)
{
    switch (status) {
    case 404:
    case 410:
        return ERROR_FILE_NOT_FOUND;
    case 401:
    case 403:
    case 407:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    }
}

} // namespace

void CloseInternetHandle::operator()(void *h) const { InternetCloseHandle(AsHandle(h)); }

CInternetFileInterface::~CInternetFileInterface() { Close(); }

// On the library handle for what its URLs inherit, and on each URL handle,
// where some implementations of the library look for the receive time-out.
void CInternetFileInterface::SetTimeouts(void *handle)
{
    DWORD timeout = kNetworkTimeoutMs;
    for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                               INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT})
        InternetSetOptionW(AsHandle(handle), option, &timeout, sizeof timeout);
}

bool CInternetFileInterface::Open(const WireChar *name)
{
    // One name, once.
    if (!name || m_dwHandleId != 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return false;
    }
    m_userAgent = LoadUserAgent();
    m_url = reinterpret_cast<const wchar_t *>(name);

    if (!m_hInternet) {
        m_hInternet.Reset(InternetOpenW(m_userAgent.c_str(), 0, nullptr, nullptr, 0));
        if (!m_hInternet) {
            Fail(GetLastError());
            PYX_TRACE(L"CInternetFileInterface::Open InternetOpenW failed, error %u\r\n", m_dwLastError);
            return false;
        }
        // A server that stops sending must not hold a worker for ever: on
        // ICA a worker inside a read holds the one receive buffer, and every
        // file of the session waits with it. A read that times out fails.
        // (Wine's library does not apply it to the reads of a body.)
        SetTimeouts(m_hInternet.Get());
    }
    // An HTTP URL is asked for its first window; the answer tells the size.
    const bool http = _wcsnicmp(m_url.c_str(), L"http://", 7) == 0 || _wcsnicmp(m_url.c_str(), L"https://", 8) == 0;
    m_llWindow = kFirstWindow;
    const std::wstring headers = http ? RangeHeader(0, WindowLast(0, m_llWindow)) : std::wstring();
    CInternetHandle h(InternetOpenUrlW(AsHandle(m_hInternet.Get()), m_url.c_str(), http ? headers.c_str() : nullptr,
                                       static_cast<DWORD>(headers.size()), kUrlFlags,
                                       reinterpret_cast<DWORD_PTR>(this)));
    if (!h) {
        Fail(GetLastError());
        PYX_TRACE(L"CInternetFileInterface::Open InternetOpenUrlW failed, error %u\r\n", m_dwLastError);
        return false;
    }

    SetTimeouts(h.Get());
    DWORD status = 0;
    m_bHttp = QueryStatus(h.Get(), &status);
    m_llDownloadEnd = -1;
    if (m_bHttp) {
        int64_t first = 0, last = 0;
        if (http && status == 206 && QueryContentRange(h.Get(), &first, &last, &m_llSize) && first == 0) {
            m_llDownloadEnd = last + 1;
        } else if (http && status == 416 && QueryUnsatisfiedTotal(h.Get()) <= 0) {
            // Not even the first byte: an empty file, nothing to download.
            // (One that tells a total above 0 refused a range it holds, and
            // is refused below: it is no empty file.)
            h.Reset();
            m_llSize = 0;
        } else if (status < 200 || status > 299 || status == 204 || status == 206) {
            // An error page is not the file, nor a part that is not its start.
            h.Reset();
            Fail(StatusError(status));
            PYX_TRACE(L"CInternetFileInterface::Open the server answered %u\r\n", status);
            return false;
        } else {
            // The whole body: more than the window asked for means the
            // server ignores ranges.
            m_llSize = QueryContentLength(h.Get());
            m_bRangesIgnored = http && (m_llSize < 0 || m_llSize > m_llWindow);
        }
    } else {
        DWORD high = 0;
        const DWORD low = FtpGetFileSize(h.Get(), &high);
        if (low != INVALID_FILE_SIZE || GetLastError() == NO_ERROR)
            m_llSize = (static_cast<int64_t>(high) << 32) | low;
    }
    m_hUrl = std::move(h);
    m_llPosition = m_llDownload = 0;
    m_dwHandleId = NextHandleId();
    PYX_TRACE(L"CInternetFileInterface::Open handle 0x%x, size %d\r\n", m_dwHandleId,
              static_cast<int>(m_llSize < kMaxPosition ? m_llSize : kMaxPosition));
    return true;
}

int CInternetFileInterface::Read(void *buffer, unsigned count)
{
    if (!m_hInternet || !buffer) {
        Fail(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (count > INT_MAX)
        count = INT_MAX;
    auto *p = static_cast<unsigned char *>(buffer);
    unsigned total = 0;
    // Nothing at or past the end.
    while (total < count && (m_llSize < 0 || m_llPosition < m_llSize)) {
        if (!m_hUrl || m_llDownload != m_llPosition || (m_llDownloadEnd >= 0 && m_llDownload >= m_llDownloadEnd)) {
            // The window is used up (or a failure left no download here): the
            // next one, twice the last for a reader that reads on, and at
            // least the rest of this read.
            const bool onward = m_hUrl && m_llDownload == m_llPosition;
            int64_t window = onward ? 2 * m_llWindow : kFirstWindow;
            window = std::min(kWindow, std::max(window, static_cast<int64_t>(count - total)));
            const Fetch fetched = Request(m_llPosition, window);
            if (fetched == Fetch::kEnd)
                break;
            if (fetched == Fetch::kFailed) {
                if (total > 0)
                    break;   // the failure shows on the next read
                return -1;
            }
        }
        DWORD want = count - total;
        if (m_llDownloadEnd >= 0 && m_llDownloadEnd - m_llDownload < want)
            want = static_cast<DWORD>(m_llDownloadEnd - m_llDownload);
        DWORD got = 0;
        if (!InternetReadFile(AsHandle(m_hUrl.Get()), p + total, want, &got)) {
            Fail(GetLastError());
            if (total > 0)
                break;
            PYX_TRACE(L"CInternetFileInterface::Read failed, error %u\r\n", m_dwLastError);
            return -1;
        }
        if (got == 0) {
            // The end of a download to the end of a file of untold size; any
            // other ended before its window or the size it announced.
            if (m_llDownloadEnd < 0 && m_llSize < 0)
                break;
            Fail(ERROR_INTERNET_CONNECTION_RESET);
            if (total > 0)
                break;
            PYX_TRACE(L"CInternetFileInterface::Read the download ended early at %d\r\n",
                      static_cast<int>(m_llPosition));
            return -1;
        }
        total += got;
        m_llPosition += got;
        m_llDownload = m_llPosition;
    }
    return static_cast<int>(total);
}

long CInternetFileInterface::Seek(long offset, int origin)
{
    if (!m_hInternet) {
        Fail(ERROR_INVALID_HANDLE);
        return -1;
    }
    int64_t base;
    switch (origin) {
    case 0:
        base = 0;
        break;
    case 1:
        base = m_llPosition;
        break;
    case 2:
        if (m_llSize < 0) {
            // The same answer the library gives for a download it cannot position.
            Fail(ERROR_INTERNET_INVALID_OPERATION);
            return -1;
        }
        if (m_llSize > kMaxPosition) {
            Fail(ERROR_FILE_TOO_LARGE);
            return -1;
        }
        base = m_llSize;
        break;
    default:
        Fail(ERROR_INVALID_PARAMETER);
        return -1;
    }
    const int64_t target = base + offset;
    if (target < 0) {
        Fail(ERROR_NEGATIVE_SEEK);
        return -1;
    }
    if (target > kMaxPosition) {
        Fail(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (target == m_llPosition)
        return static_cast<long>(target);

    // At or past the end nothing is read, so the download stays where it
    // is: the size probe (to the end and back to the start) costs no
    // request, and a seek back to where the download stands costs none.
    if ((m_llSize >= 0 && target >= m_llSize) || (m_hUrl && target == m_llDownload)) {
        m_llPosition = target;
        return static_cast<long>(target);
    }

    if (m_hUrl && target > m_llDownload && (m_llDownloadEnd < 0 || target <= m_llDownloadEnd) &&
        (target - m_llDownload <= kSkipLimit || m_bRangesIgnored || !m_bHttp)) {
        // Whatever part was skipped before a failure is behind us.
        const bool skipped = Skip(m_hUrl.Get(), target - m_llDownload);
        m_llPosition = m_llDownload;
        if (skipped)
            return static_cast<long>(target);
    }
    return Request(target, kFirstWindow) == Fetch::kFailed ? -1 : static_cast<long>(target);
}

bool CInternetFileInterface::Skip(void *request, int64_t count)
{
    const bool current = request == m_hUrl.Get();
    std::vector<unsigned char> scratch(static_cast<size_t>(count < kSkipBlock ? count : kSkipBlock));
    while (count > 0) {
        const DWORD want = static_cast<DWORD>(count < kSkipBlock ? count : kSkipBlock);
        DWORD got = 0;
        if (!InternetReadFile(AsHandle(request), scratch.data(), want, &got)) {
            Fail(GetLastError());
            return false;
        }
        if (got == 0) {
            Fail(ERROR_HANDLE_EOF);
            return false;
        }
        count -= got;
        if (current)
            m_llDownload += got;
    }
    return true;
}

int64_t CInternetFileInterface::WindowLast(int64_t position, int64_t window) const
{
    const int64_t end = position + window;
    return (m_llSize >= 0 && end > m_llSize ? m_llSize : end) - 1;
}

CInternetFileInterface::Fetch CInternetFileInterface::Request(int64_t position, int64_t window)
{
    // Closed first: the library reads what is left of its window (a few MiB
    // at most) and the connection serves the new request.
    m_hUrl.Reset();
    const bool ranged = m_bHttp && !m_bRangesIgnored;
    const int64_t last = WindowLast(position, window);
    const std::wstring headers = ranged ? RangeHeader(position, last) : std::wstring();
    CInternetHandle h(InternetOpenUrlW(AsHandle(m_hInternet.Get()), m_url.c_str(),
                                       ranged ? headers.c_str() : nullptr, static_cast<DWORD>(headers.size()),
                                       kUrlFlags, reinterpret_cast<DWORD_PTR>(this)));
    if (!h) {
        Fail(GetLastError());
        PYX_TRACE(L"CInternetFileInterface::Seek InternetOpenUrlW failed, error %u\r\n", m_dwLastError);
        return Fetch::kFailed;
    }
    SetTimeouts(h.Get());
    auto refuse = [&](uint32_t error) {
        h.Reset();
        Fail(error);
        PYX_TRACE(L"CInternetFileInterface::Seek to %d refused, error %u\r\n", static_cast<int>(position), error);
        return Fetch::kFailed;
    };

    int64_t skip = position;
    int64_t end = -1;
    if (m_bHttp) {
        DWORD status = 0;
        if (!QueryStatus(h.Get(), &status))
            return refuse(GetLastError());
        if (status == 206 && ranged) {
            // It must be the part asked for (or its start), of the same resource.
            int64_t first = 0, got = 0, total = 0;
            if (!QueryContentRange(h.Get(), &first, &got, &total) || first != position ||
                (total >= 0 && m_llSize >= 0 && total != m_llSize))
                return refuse(ERROR_HTTP_INVALID_SERVER_RESPONSE);
            skip = 0;
            end = got + 1;
        } else if (status == 416 && ranged && m_llSize < 0 && QueryUnsatisfiedTotal(h.Get()) <= position) {
            // Not one byte from there: the end of a file of untold size.
            // (Unless the answer tells a total beyond it: a refusal within
            // the file is a failure, not its end.)
            h.Reset();
            m_llPosition = m_llDownload = position;
            return Fetch::kEnd;
        } else if (status >= 200 && status <= 299 && status != 204 && status != 206) {
            // The whole resource: unless the window was all of it, the
            // server doesn't do ranges.
            const int64_t length = QueryContentLength(h.Get());
            if (length >= 0 && m_llSize >= 0 && length != m_llSize)
                return refuse(ERROR_HTTP_INVALID_SERVER_RESPONSE);
            if (ranged && (position > 0 || length < 0 || length > last + 1)) {
                m_bRangesIgnored = true;
                PYX_TRACE(L"CInternetFileInterface::Seek the server ignores ranges; skipping to %d\r\n",
                          static_cast<int>(position));
            }
        } else {
            return refuse(StatusError(status));
        }
    }
    if (skip > 0 && !Skip(h.Get(), skip)) {
        h.Reset();
        return Fetch::kFailed;
    }
    m_hUrl = std::move(h);
    m_llPosition = m_llDownload = position;
    m_llDownloadEnd = end;
    m_llWindow = window;
    return Fetch::kOk;
}

int CInternetFileInterface::Close()
{
    m_hUrl.Reset();
    m_hInternet.Reset();
    return 1;
}

// On Windows a URL is read through the Internet library.
std::unique_ptr<CVirtualFileInterface> MakeUrlSource()
{
    return std::unique_ptr<CVirtualFileInterface>(new (std::nothrow) CInternetFileInterface);
}
