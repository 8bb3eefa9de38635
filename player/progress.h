// What the player window shows of the server's progress for its file: the
// server's broadcast notifications (code in bits 0-7 of wParam, seek origin
// in bits 8-15, the name's checksum in bits 16-31) become a read position,
// a file size, the position slider and the status line. Portable; the
// window only carries out the answer.
#pragma once

#include <cstdint>
#include <string>

struct ProgressUpdate
{
    bool setSlider = false;
    uint32_t slider = 0;   // 0..100
    bool setStatus = false;
    std::wstring status;   // may be empty: the status line is cleared
};

class CProgressDisplay
{
public:
    // One notification, matched against the checksum of the name the
    // window last sent (GetFileChecksum). Codes 1 and 7 carry checksum 0,
    // so they count only before any file was accepted.
    ProgressUpdate OnNotification(uint16_t fileChecksum, uint32_t wParam, int32_t lParam);

    // The user moved the position slider: the next five read notifications
    // leave it where the user put it. A long drag adds up to 50 at most, so
    // the slider is never frozen for hundreds of reads.
    void OnSeekSent()
    {
        m_nSeekHoldOff = m_nSeekHoldOff + kSeekHoldOffReads > kSeekHoldOffMax ? kSeekHoldOffMax
                                                                              : m_nSeekHoldOff + kSeekHoldOffReads;
    }

    // After the session's reconnect the client player opens the file again
    // and seeks to `slider` percent: that open (and a late close of the
    // open the disconnect cut) leaves the slider there instead of at 0.
    void OnResume(uint32_t slider)
    {
        m_bResumePending = true;
        m_dwResumeSlider = slider > 100 ? 100 : slider;
    }

    uint32_t Position() const { return m_dwPosition; }
    uint32_t Size() const { return m_dwSize; }
    int SeekHoldOff() const { return m_nSeekHoldOff; }

    static constexpr int kSeekHoldOffReads = 5;
    static constexpr int kSeekHoldOffMax = 50;

private:
    uint32_t SliderValue() const;

    uint16_t m_wChecksum = 0;
    uint32_t m_dwPosition = 0;
    uint32_t m_dwSize = 0;
    int m_nSeekHoldOff = 0;
    bool m_bResumePending = false;
    uint32_t m_dwResumeSlider = 0;
};

// The status line while a file is read: position and size in KiB.
std::wstring PlayingStatus(uint32_t position, uint32_t size);
