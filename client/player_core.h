// The client's player: what the player program (PyxUserInterface) sends on
// the player route, acted on. Each message is checked by CheckPlayerMessage
// (common/player_check.h) against the bytes received; a bad one is logged
// and not acted on. RUOF opens the file through the device and hands the
// session to the media player; a second RUOF replaces the file (the first
// is closed with CLOS); CLOSE, KILL_PLAYER and the end of the play close it.
// Every command of the table acts on the media player. A seek, play, pause
// or stop that comes while the file is still opening (a player resuming
// after a reconnect sends its position right after the file) is held and
// given to the media player with the file.
#pragma once

#include "client_ops.h"
#include "device_core.h"
#include "player_check.h"

#include <cstdint>
#include <memory>

// The media player the client core drives (libmpv or a test's fake).
class CMediaPlayerOps
{
public:
    // A file to play, read through the session. A session handed over
    // before is closed already.
    virtual void Open(const std::shared_ptr<CFileSession> &session) = 0;
    virtual void Close() = 0;
    virtual void Play() = 0;
    virtual void Pause() = 0;
    virtual void Stop() = 0;
    virtual void SeekPercent(int percent) = 0;   // 0 ... 100
    virtual void Volume(int volume) = 0;         // 0 ... 100, and the sound on
    virtual void Mute(bool mute) = 0;
    virtual void FullScreen(bool on) = 0;
    // Where the video shows, in the server desktop's coordinates.
    virtual void VideoRect(int32_t x, int32_t y, int32_t width, int32_t height) = 0;
    virtual void Minimize() = 0;
    virtual void Activate(bool active) = 0;   // the player window gained or lost the focus
    virtual void Skip(int direction) = 0;     // -1 back, +1 forward: a chapter or item
    virtual void Wind(int direction) = 0;     // -1 rewind, +1 fast forward
    virtual void Step() = 0;                  // one frame
    virtual void AudioOff() = 0;

protected:
    ~CMediaPlayerOps() = default;
};

class CClientPlayerCore
{
public:
    CClientPlayerCore(CClientDevice &device, CMediaPlayerOps &media, CClientLogOps &log);

    // A whole message of the player route.
    void OnMessage(const unsigned char *msg, size_t n);
    // The media player played the file to its end.
    void OnPlaybackEnded();

    const std::shared_ptr<CFileSession> &Session() const { return m_session; }
    uint32_t BadMessages() const { return m_bad; }

private:
    void OpenFile(const std::u16string &name);
    void CloseFile();
    void Command(const PlayerControl &c);

    CClientDevice &m_device;
    CMediaPlayerOps &m_media;
    CClientLogOps &m_log;
    std::shared_ptr<CFileSession> m_session;   // the file of the last RUOF, while it is open or opening
    bool m_bMediaOpen = false;                 // the media player has the session
    int m_heldSeek = -1;                       // held while opening: the last seek's percent
    uint32_t m_heldPlay = 0;                   // held while opening: the last PLAY, PAUSE or STOP
    bool m_bFullScreen = false;
    int32_t m_x = 0, m_y = 0, m_width = 0, m_height = 0;   // the video area, MOVE and SIZE together
    uint32_t m_bad = 0;
};
