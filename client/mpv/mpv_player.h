// The client's media player over libmpv. The core calls it on its own
// thread; libmpv reads the file through a CBlockingStream on threads of its
// own ("tarsel://N" names the N-th file opened), and its events come back to
// the core's thread as tasks. Nothing here waits on libmpv's core: commands
// go asynchronously, so a read blocked on the server can never hold the
// core's thread, which must answer it.
#pragma once

#include "core_worker.h"
#include "player_core.h"
#include "stream_reader.h"
#include "video_placement.h"

#include <mpv/client.h>
#include <mpv/stream_cb.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The window the video is drawn into, placed by what the player program says.
class CVideoWindowOps
{
public:
    // The X11 window id libmpv draws into (its "wid"), 0 for none.
    virtual uint64_t Handle() = 0;
    // Moves, sizes, shows or hides the window as the placement says now.
    virtual void Apply(const CVideoPlacement &placement) = 0;
    virtual void Raise() = 0;

protected:
    ~CVideoWindowOps() = default;
};

struct MpvPlayerOptions
{
    std::string vo, ao;          // libmpv's drivers, its own choice when empty
    uint32_t blockBytes = 128 * 1024;
    uint32_t aheadBlocks = 1;
};

class CMpvPlayer final : public CMediaPlayerOps
{
public:
    // window may be null (no display: sound only). onEnded is called on the
    // core's thread when the file played to its end or cannot be played.
    CMpvPlayer(CCoreTaskOps &core, CClientClockOps &clock, CClientLogOps &log, CVideoWindowOps *window,
               const MpvPlayerOptions &options, std::function<void()> onEnded);
    ~CMpvPlayer();
    CMpvPlayer(const CMpvPlayer &) = delete;
    CMpvPlayer &operator=(const CMpvPlayer &) = delete;

    void Open(const std::shared_ptr<CFileSession> &session) override;
    void Close() override;
    void Play() override;
    void Pause() override;
    void Stop() override;
    void SeekPercent(int percent) override;
    void Volume(int volume) override;
    void Mute(bool mute) override;
    void FullScreen(bool on) override;
    void VideoRect(int32_t x, int32_t y, int32_t width, int32_t height) override;
    void Minimize() override;
    void Activate(bool active) override;
    void Skip(int direction) override;
    void Wind(int direction) override;
    void Step() override;
    void AudioOff() override;

    // Every few hundred ms on the core's thread: follows the client
    // window's size.
    void Tick();

private:
    struct Handle
    {
        void operator()(mpv_handle *h) const { mpv_terminate_destroy(h); }
    };
    struct File
    {
        uint64_t number = 0;
        std::shared_ptr<CFileSession> session;
        std::string name;
        int64_t entry = -1;            // libmpv's playlist entry, once known
        bool loaded = false;           // libmpv has opened it: it can seek
        bool started = false;          // the first frame was shown
        int seekTarget = 0;            // the last seek's percent
        int pendingSeek = -1;          // a seek that came before the file was loaded
        double percent = 0;            // where the play is
        uint64_t seekAtMs = 0;         // a seek waiting for its first frame
        int64_t drops = 0, decoderDrops = 0;
        std::shared_ptr<CBlockingStream> stream;
    };

    bool Create();
    void Command(std::vector<std::string> args, uint64_t tag = 0);
    void SetFlag(const char *name, bool value);
    void SetNumber(const char *name, double value);
    void Place();
    void DrainEvents();
    void OnEvent(const mpv_event &e);
    void OnEndFile(const mpv_event_end_file &end);
    void OnProperty(const mpv_event_property &p);

    // libmpv's stream callbacks.
    static int OpenStream(void *self, char *uri, mpv_stream_cb_info *info);
    std::shared_ptr<CBlockingStream> StreamFor(const std::string &uri);

    CCoreTaskOps &m_core;
    CClientClockOps &m_clock;
    CClientLogOps &m_log;
    CVideoWindowOps *m_window;
    MpvPlayerOptions m_options;
    std::function<void()> m_onEnded;
    std::unique_ptr<mpv_handle, Handle> m_mpv;
    bool m_bCreateFailed = false;
    bool m_bAudioOff = false;         // the sound track switched off until the next volume
    CVideoPlacement m_placement;
    File m_file;                      // the file playing, number 0 for none
    uint64_t m_nextNumber = 1;
    uint64_t m_nextCommand = 1;
    std::map<uint64_t, std::string> m_commands;   // commands on their way, by tag

    // Shared with libmpv's threads: the sessions its streams may open, and
    // the streams open (cancelled when their file goes).
    std::mutex m_streamsLock;
    std::map<uint64_t, std::shared_ptr<CFileSession>> m_openable;
    std::vector<std::weak_ptr<CBlockingStream>> m_streams;
};
