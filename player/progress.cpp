#include "progress.h"

#include "notify.h"
#include "trace.h"

namespace {

constexpr wchar_t kFileOpened[] = L"File opened by remote player";
constexpr wchar_t kSeeking[] = L"Seeking...";
constexpr wchar_t kRestartServer[] = L"Please restart server.";

ProgressUpdate Status(const wchar_t *text)
{
    ProgressUpdate u;
    u.setStatus = true;
    u.status = text;
    return u;
}

} // namespace

std::wstring PlayingStatus(uint32_t position, uint32_t size)
{
    wchar_t buffer[kTraceBufferUnits];
    const wchar_t *format = L"Playing.....     %8u kbytes from %u;";
    FormatText(buffer, format, position >> 10, size >> 10);
    return std::wstring(buffer).substr(0, 259);
}

uint32_t CProgressDisplay::SliderValue() const
{
    // Percent of the file read. A file of 1 to 99 bytes has no whole
    // hundredth, so it is computed the long way; reads past the end stop at
    // the end of the slider.
    uint64_t percent = m_dwSize >= 100 ? m_dwPosition / (m_dwSize / 100) : uint64_t{m_dwPosition} * 100 / m_dwSize;
    return percent > 100 ? 100 : static_cast<uint32_t>(percent);
}

ProgressUpdate CProgressDisplay::OnNotification(uint16_t fileChecksum, uint32_t wParam, int32_t lParam)
{
    if (NotifyChecksumOf(wParam) != fileChecksum)
        return {};
    if (fileChecksum != m_wChecksum) {
        m_wChecksum = fileChecksum;
        m_dwPosition = 0;
        m_dwSize = 0;
        m_bResumePending = false;   // another file: it starts from zero
    }
    const uint32_t value = static_cast<uint32_t>(lParam);
    switch (NotifyCodeOf(wParam)) {
    case NOTIFY_FILE_OPENED: {
        ProgressUpdate u = Status(kFileOpened);
        u.setSlider = true;
        if (m_bResumePending)
            u.slider = m_dwResumeSlider;
        m_bResumePending = false;
        return u;
    }
    case NOTIFY_SERVER_READY:
        return Status(L"");
    case NOTIFY_SEEK:
        switch (NotifyOriginOf(wParam)) {
        case 0:
            m_dwPosition = value;
            break;
        case 1:
            m_dwPosition += value;
            break;
        case 2:
            m_dwPosition -= value;
            break;
        }
        return Status(kSeeking);
    case NOTIFY_READ: {
        m_dwPosition += value;
        ProgressUpdate u;
        if (m_dwSize != 0 && m_nSeekHoldOff == 0) {
            u.setSlider = true;
            u.slider = SliderValue();
        }
        if (m_nSeekHoldOff != 0)
            --m_nSeekHoldOff;
        u.setStatus = true;
        u.status = PlayingStatus(m_dwPosition, m_dwSize);
        return u;
    }
    case NOTIFY_FILE_CLOSED: {
        m_dwPosition = 0;
        ProgressUpdate u = Status(L"");
        u.setSlider = !m_bResumePending;
        return u;
    }
    case NOTIFY_FILE_SIZE:
        m_dwSize = value;
        return {};
    case NOTIFY_SERVER_ENDED:
        return Status(kRestartServer);
    }
    return {};
}
