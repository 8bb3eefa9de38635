#include "mpv_player.h"

#include "utf8.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

constexpr char kProtocol[] = "tarsel";

// What libmpv holds for an open stream: the stream, alive until libmpv closes it.
struct StreamCookie
{
    std::shared_ptr<CBlockingStream> stream;
};

CBlockingStream &Of(void *cookie) { return *static_cast<StreamCookie *>(cookie)->stream; }

int64_t ReadStream(void *cookie, char *buffer, uint64_t n) { return Of(cookie).Read(buffer, n); }

int64_t SeekStream(void *cookie, int64_t offset)
{
    const int64_t at = Of(cookie).Seek(offset);
    return at < 0 ? int64_t(MPV_ERROR_GENERIC) : at;
}

int64_t StreamSize(void *cookie)
{
    const int64_t size = Of(cookie).Size();
    return size < 0 ? int64_t(MPV_ERROR_UNSUPPORTED) : size;
}

void CloseStream(void *cookie) { delete static_cast<StreamCookie *>(cookie); }

void CancelStream(void *cookie) { Of(cookie).Cancel(); }

// Property names observed, and the reply tag of a loadfile.
enum Observed : uint64_t { kPause = 1, kVolume, kMute, kDrops, kDecoderDrops, kPercent };
constexpr uint64_t kLoadTag = 1ull << 62;

} // namespace

CMpvPlayer::CMpvPlayer(CCoreTaskOps &core, CClientClockOps &clock, CClientLogOps &log, CVideoWindowOps *window,
                       const MpvPlayerOptions &options, std::function<void()> onEnded)
    : m_core(core), m_clock(clock), m_log(log), m_window(window), m_options(options), m_onEnded(std::move(onEnded))
{
}

CMpvPlayer::~CMpvPlayer()
{
    // A stream blocked on a read must not hold libmpv's shutdown: the core
    // that would answer it may be gone already.
    {
        std::lock_guard<std::mutex> hold(m_streamsLock);
        m_openable.clear();
        for (auto &weak : m_streams)
            if (auto stream = weak.lock())
                stream->Cancel();
    }
    if (m_mpv)
        mpv_set_wakeup_callback(m_mpv.get(), nullptr, nullptr);
    m_mpv.reset();
}

bool CMpvPlayer::Create()
{
    if (m_mpv)
        return true;
    if (m_bCreateFailed)
        return false;
    std::unique_ptr<mpv_handle, Handle> mpv(mpv_create());
    if (!mpv) {
        m_bCreateFailed = true;
        LogLine(m_log, "client: libmpv could not be started");
        return false;
    }
    mpv_handle *m = mpv.get();
    // A player for files the user chose on the server: nothing of a local
    // user's mpv configuration, no keys, no on-screen controls, no terminal.
    for (const auto &option : std::vector<std::pair<const char *, std::string>>{
             {"config", "no"}, {"terminal", "no"}, {"input-default-bindings", "no"}, {"input-vo-keyboard", "no"},
             {"input-cursor", "no"}, {"osc", "no"}, {"load-scripts", "no"}, {"ytdl", "no"}, {"idle", "yes"},
             {"keep-open", "no"}, {"force-window", "no"}, {"audio-display", "no"}, {"hwdec", "no"},
             {"cursor-autohide", "no"}, {"vo", m_options.vo}, {"ao", m_options.ao},
             // The server's progress, which the user's slider shows and a
             // reconnect resumes from, counts the bytes read: read a second
             // ahead of the picture, not the whole file into a cache.
             {"cache", "no"}, {"demuxer-readahead-secs", "1"}}) {
        if (!option.second.empty() && mpv_set_option_string(m, option.first, option.second.c_str()) < 0)
            LogLine(m_log, "client: libmpv refused option %s=%s", option.first, option.second.c_str());
    }
    if (m_window && m_window->Handle() != 0) {
        int64_t wid = static_cast<int64_t>(m_window->Handle());
        mpv_set_option(m, "wid", MPV_FORMAT_INT64, &wid);
    }
    if (mpv_initialize(m) < 0 || mpv_stream_cb_add_ro(m, kProtocol, this, &CMpvPlayer::OpenStream) < 0) {
        m_bCreateFailed = true;
        LogLine(m_log, "client: libmpv could not be initialised");
        return false;
    }
    mpv_observe_property(m, kPause, "pause", MPV_FORMAT_FLAG);
    mpv_observe_property(m, kVolume, "volume", MPV_FORMAT_DOUBLE);
    mpv_observe_property(m, kMute, "mute", MPV_FORMAT_FLAG);
    mpv_observe_property(m, kDrops, "frame-drop-count", MPV_FORMAT_INT64);
    mpv_observe_property(m, kDecoderDrops, "decoder-frame-drop-count", MPV_FORMAT_INT64);
    mpv_observe_property(m, kPercent, "percent-pos", MPV_FORMAT_DOUBLE);
    // libmpv wakes us from any of its threads; its events are read on ours.
    mpv_set_wakeup_callback(
        m, [](void *self) { static_cast<CMpvPlayer *>(self)->m_core.Post([self] { static_cast<CMpvPlayer *>(self)->DrainEvents(); }); },
        this);
    m_mpv = std::move(mpv);
    return true;
}

// --- streams (libmpv's threads) ---------------------------------------------------

std::shared_ptr<CBlockingStream> CMpvPlayer::StreamFor(const std::string &uri)
{
    const std::string prefix = std::string(kProtocol) + "://";
    if (uri.compare(0, prefix.size(), prefix) != 0)
        return nullptr;
    const uint64_t number = std::strtoull(uri.c_str() + prefix.size(), nullptr, 10);
    std::lock_guard<std::mutex> hold(m_streamsLock);
    const auto it = m_openable.find(number);
    if (it == m_openable.end())
        return nullptr;
    auto stream = std::make_shared<CBlockingStream>(it->second, m_core, m_log, m_options.blockBytes, m_options.aheadBlocks,
                                                    m_options.maxBlockBytes);
    m_streams.erase(std::remove_if(m_streams.begin(), m_streams.end(), [](auto &w) { return w.expired(); }),
                    m_streams.end());
    m_streams.push_back(stream);
    return stream;
}

int CMpvPlayer::OpenStream(void *self, char *uri, mpv_stream_cb_info *info)
{
    std::shared_ptr<CBlockingStream> stream = static_cast<CMpvPlayer *>(self)->StreamFor(uri);
    if (!stream)
        return MPV_ERROR_LOADING_FAILED;
    if (!stream->Open())
        return MPV_ERROR_LOADING_FAILED;
    info->cookie = new StreamCookie{std::move(stream)};
    info->read_fn = ReadStream;
    info->seek_fn = SeekStream;
    info->size_fn = StreamSize;
    info->close_fn = CloseStream;
    info->cancel_fn = CancelStream;
    return 0;
}

// --- commands (the core's thread) --------------------------------------------------

void CMpvPlayer::Command(std::vector<std::string> args, uint64_t tag)
{
    if (!m_mpv)
        return;
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    // Each command is named by its tag, so that a refusal says which.
    if (tag == 0) {
        tag = m_nextCommand++;
        m_commands[tag] = args.front() + (args.size() > 1 ? " " + args[1] : std::string());
        if (m_commands.size() > 64)
            m_commands.erase(m_commands.begin());
    }
    mpv_command_async(m_mpv.get(), tag, argv.data());
}

void CMpvPlayer::SetFlag(const char *name, bool value)
{
    if (!m_mpv)
        return;
    int flag = value ? 1 : 0;
    mpv_set_property_async(m_mpv.get(), 0, name, MPV_FORMAT_FLAG, &flag);
}

void CMpvPlayer::SetNumber(const char *name, double value)
{
    if (!m_mpv)
        return;
    mpv_set_property_async(m_mpv.get(), 0, name, MPV_FORMAT_DOUBLE, &value);
}

void CMpvPlayer::Open(const std::shared_ptr<CFileSession> &session)
{
    Close();
    if (!Create()) {
        LogLine(m_log, "client: %s not played: no media player", Utf8Of(session->Name(), LoneSurrogate::Replace).c_str());
        m_core.Post([this] { m_onEnded(); });
        return;
    }
    m_file = File{};
    m_file.number = m_nextNumber++;
    m_file.session = session;
    m_file.name = Utf8Of(session->Name(), LoneSurrogate::Replace);
    {
        std::lock_guard<std::mutex> hold(m_streamsLock);
        m_openable[m_file.number] = session;
    }
    m_placement.Media(true, true);
    Place();
    SetFlag("pause", false);
    Command({"loadfile", std::string(kProtocol) + "://" + std::to_string(m_file.number), "replace"},
            kLoadTag | m_file.number);
    LogLine(m_log, "client: playing %s", m_file.name.c_str());
}

void CMpvPlayer::Close()
{
    if (m_file.number == 0)
        return;
    double percent = m_file.percent;
    if (m_mpv)
        mpv_get_property(m_mpv.get(), "percent-pos", MPV_FORMAT_DOUBLE, &percent);
    LogLine(m_log, "client: closed %s at %.0f %%", m_file.name.c_str(), percent);
    {
        std::lock_guard<std::mutex> hold(m_streamsLock);
        m_openable.erase(m_file.number);
        for (auto &weak : m_streams)
            if (auto stream = weak.lock(); stream && stream->Session() == m_file.session)
                stream->Cancel();
    }
    Command({"stop"});
    m_file = File{};
    m_placement.Media(false, true);
    Place();
}

void CMpvPlayer::Play() { SetFlag("pause", false); }

void CMpvPlayer::Pause() { SetFlag("pause", true); }

// Stop as a media player's stop button: the picture back to the start, held.
void CMpvPlayer::Stop()
{
    SetFlag("pause", true);
    Command({"seek", "0", "absolute"});
}

// To the frame the slider points at, not the key frame before it: the
// player resumes a reconnect from where the slider stood.
void CMpvPlayer::SeekPercent(int percent)
{
    if (percent < 0 || percent > 100) {
        LogLine(m_log, "client: a seek to %d %% not acted on", percent);
        return;
    }
    if (m_file.number == 0)
        return;
    m_file.seekAtMs = m_clock.NowMs();
    m_file.seekTarget = percent;
    // libmpv refuses a seek before the file is open: it waits for that (a
    // player resuming after a reconnect sends its position right after
    // the file).
    if (!m_file.loaded) {
        m_file.pendingSeek = percent;
        return;
    }
    Command({"seek", std::to_string(percent), "absolute-percent+exact"});
}

void CMpvPlayer::Volume(int volume)
{
    // The loudspeaker button sends the volume too: sound on again.
    SetNumber("volume", std::clamp(volume, 0, 100));
    SetFlag("mute", false);
    if (m_bAudioOff) {
        m_bAudioOff = false;
        Command({"set", "aid", "auto"});
    }
}

void CMpvPlayer::Mute(bool mute) { SetFlag("mute", mute); }

void CMpvPlayer::AudioOff()
{
    SetFlag("mute", true);
    m_bAudioOff = true;
    Command({"set", "aid", "no"});
}

void CMpvPlayer::FullScreen(bool on)
{
    m_placement.FullScreen(on);
    Place();
    LogLine(m_log, "client: full screen %s", on ? "on" : "off");
}

void CMpvPlayer::VideoRect(int32_t x, int32_t y, int32_t width, int32_t height)
{
    m_placement.Move(x, y);
    m_placement.Size(width, height);
    Place();
}

void CMpvPlayer::Minimize()
{
    m_placement.Minimize();
    Place();
}

void CMpvPlayer::Activate(bool active)
{
    if (active && m_window)
        m_window->Raise();
}

void CMpvPlayer::Skip(int direction) { Command({"add", "chapter", direction < 0 ? "-1" : "1"}); }

void CMpvPlayer::Wind(int direction) { Command({"seek", direction < 0 ? "-10" : "10", "relative"}); }

void CMpvPlayer::Step() { Command({"frame-step"}); }

void CMpvPlayer::Place()
{
    if (m_window)
        m_window->Apply(m_placement);
}

void CMpvPlayer::Tick() { Place(); }

// --- events (the core's thread) ----------------------------------------------------

void CMpvPlayer::DrainEvents()
{
    while (m_mpv) {
        const mpv_event *e = mpv_wait_event(m_mpv.get(), 0);
        if (!e || e->event_id == MPV_EVENT_NONE)
            return;
        OnEvent(*e);
    }
}

void CMpvPlayer::OnEvent(const mpv_event &e)
{
    switch (e.event_id) {
    case MPV_EVENT_COMMAND_REPLY:
        if (e.error < 0) {
            const auto it = m_commands.find(e.reply_userdata);
            LogLine(m_log, "client: libmpv refused %s: %s", it != m_commands.end() ? it->second.c_str() : "a command",
                    mpv_error_string(e.error));
        }
        m_commands.erase(e.reply_userdata);
        // The loadfile of the file playing says which playlist entry it is.
        if ((e.reply_userdata & kLoadTag) && (e.reply_userdata & ~kLoadTag) == m_file.number && e.data) {
            const mpv_node &result = static_cast<const mpv_event_command *>(e.data)->result;
            if (result.format == MPV_FORMAT_NODE_MAP)
                for (int i = 0; i < result.u.list->num; ++i)
                    if (std::strcmp(result.u.list->keys[i], "playlist_entry_id") == 0 &&
                        result.u.list->values[i].format == MPV_FORMAT_INT64)
                        m_file.entry = result.u.list->values[i].u.int64;
        }
        break;
    case MPV_EVENT_FILE_LOADED:
        if (m_file.number != 0) {
            m_file.loaded = true;
            if (m_file.pendingSeek >= 0)
                Command({"seek", std::to_string(m_file.pendingSeek), "absolute-percent+exact"});
            m_file.pendingSeek = -1;
            char *vid = mpv_get_property_string(m_mpv.get(), "vid");
            const bool picture = vid && std::strcmp(vid, "no") != 0;
            mpv_free(vid);
            if (!picture)
                LogLine(m_log, "client: %s has no picture: sound only, no window", m_file.name.c_str());
            m_placement.Media(true, picture);
            Place();
        }
        break;
    case MPV_EVENT_PLAYBACK_RESTART:
        if (m_file.number == 0)
            break;
        if (!m_file.started) {
            m_file.started = true;
            // The wall clock too: a job measures from the user's double click.
            const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::system_clock::now().time_since_epoch());
            LogLine(m_log, "client: first frame %llu ms after RUOF, at unix ms %lld",
                    static_cast<unsigned long long>(m_clock.NowMs() - m_file.session->OpenedAtMs()),
                    static_cast<long long>(wall.count()));
        }
        // A seek that came with the file (a player resuming) shows its
        // first frame with the file's.
        if (m_file.seekAtMs != 0 && m_file.pendingSeek < 0) {
            LogLine(m_log, "client: first frame %llu ms after the seek to %d %%",
                    static_cast<unsigned long long>(m_clock.NowMs() - m_file.seekAtMs), m_file.seekTarget);
            m_file.seekAtMs = 0;
        }
        break;
    case MPV_EVENT_END_FILE:
        OnEndFile(*static_cast<const mpv_event_end_file *>(e.data));
        break;
    case MPV_EVENT_PROPERTY_CHANGE:
        OnProperty(*static_cast<const mpv_event_property *>(e.data));
        break;
    default:
        break;
    }
}

void CMpvPlayer::OnEndFile(const mpv_event_end_file &end)
{
    // Only the end of the file playing counts: one replaced or stopped by
    // us ends with another reason, or as another entry.
    if (m_file.number == 0 || (m_file.entry >= 0 && end.playlist_entry_id != m_file.entry))
        return;
    if (end.reason != MPV_END_FILE_REASON_EOF && end.reason != MPV_END_FILE_REASON_ERROR)
        return;
    if (end.reason == MPV_END_FILE_REASON_ERROR)
        LogLine(m_log, "client: libmpv cannot play %s: %s", m_file.name.c_str(), mpv_error_string(end.error));
    else
        LogLine(m_log, "client: played %s to its end: frames dropped %lld (decoder %lld)", m_file.name.c_str(),
                static_cast<long long>(m_file.drops), static_cast<long long>(m_file.decoderDrops));
    m_onEnded();
}

void CMpvPlayer::OnProperty(const mpv_event_property &p)
{
    if (!p.data)
        return;
    if (p.format == MPV_FORMAT_FLAG) {
        const bool on = *static_cast<const int *>(p.data) != 0;
        LogLine(m_log, "mpv: %s=%s", p.name, on ? "yes" : "no");
    } else if (p.format == MPV_FORMAT_DOUBLE && std::strcmp(p.name, "percent-pos") == 0) {
        if (m_file.number != 0)
            m_file.percent = *static_cast<const double *>(p.data);
    } else if (p.format == MPV_FORMAT_DOUBLE && std::strcmp(p.name, "volume") == 0) {
        LogLine(m_log, "mpv: volume=%.0f", *static_cast<const double *>(p.data));
    } else if (p.format == MPV_FORMAT_INT64 && m_file.number != 0) {
        const int64_t count = *static_cast<const int64_t *>(p.data);
        if (std::strcmp(p.name, "frame-drop-count") == 0)
            m_file.drops = std::max(m_file.drops, count);
        else
            m_file.decoderDrops = std::max(m_file.decoderDrops, count);
    }
}
