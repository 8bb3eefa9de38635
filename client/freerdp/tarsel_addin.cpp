// The FreeRDP static-channel add-in (libtarsel-client.so, loaded by
// `xfreerdp /vc:tarsel[,option...]`): registers the session's channels
// (one registration each: FreeRDP 2 pairs its n-th registration with its
// n-th channel when it tells the client's other add-ins they connected, so
// a registration of many channels leaves the add-ins loaded after it, the
// clipboard's among them, without their connect, and the connection ends),
// copies what arrives on FreeRDP's thread to the core's worker and returns
// at once, and writes what the core sends, owning each buffer until
// FreeRDP hands it back (WRITE_COMPLETE or WRITE_CANCELLED, which may come
// after the session ended, so the add-in outlives its last write).
#include "addin_options.h"
#include "client_core.h"
#include "core_worker.h"
#include "drain_player.h"
#include "mpv_player.h"
#include "x11_video_window.h"

#include <freerdp/settings.h>
#include <freerdp/svc.h>
#include <winpr/wtsapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

class CAddinLog final : public CClientLogOps
{
public:
    explicit CAddinLog(const std::string &path)
    {
        if (!path.empty())
            m_file.reset(std::fopen(path.c_str(), "a"));
    }
    void Line(const std::string &text) override
    {
        std::lock_guard<std::mutex> hold(m_lock);
        std::FILE *out = m_file ? m_file.get() : stderr;
        std::fprintf(out, "%s\n", text.c_str());
        std::fflush(out);
    }
    bool ToFile() const { return m_file != nullptr; }

private:
    struct Close
    {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    std::mutex m_lock;
    std::unique_ptr<std::FILE, Close> m_file;
};

class CSteadyClock final : public CClientClockOps
{
public:
    uint64_t NowMs() override
    {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
};

// Every route of a layout, in the order its channels are registered.
std::vector<int32_t> Routes(ChannelLayout layout)
{
    if (layout == ChannelLayout::Ica)
        return {CHANNEL_CONTROL};
    std::vector<int32_t> routes{CHANNEL_CONTROL, CHANNEL_PLAYER};
    for (int32_t n = 0; n < kDataChannelCount; ++n)
        routes.push_back(n);
    return routes;
}

class CTarselAddin final : public CClientChannelOps
{
public:
    struct Channel
    {
        CTarselAddin *addin;
        const char *name;
        DWORD openHandle;   // 0 while closed
    };

    CTarselAddin(const CHANNEL_ENTRY_POINTS_FREERDP_EX &entry, void *initHandle, const AddinOptions &options)
        : m_entry(entry), m_initHandle(initHandle), m_options(options),
          m_layout(options.ica ? ChannelLayout::Ica : ChannelLayout::Rdp), m_log(options.logFile),
          m_worker([this] { Tick(); }, 200)
    {
        for (int32_t route : Routes(m_layout))
            m_channels.push_back({this, CChannelDemux::ChannelOf(m_layout, route), 0});
    }

    CAddinLog &Log() { return m_log; }

    // How many channels FreeRDP took; 0: none, and the add-in is not loaded.
    size_t Register()
    {
        for (Channel &c : m_channels) {
            CHANNEL_DEF def{};
            std::strncpy(def.name, c.name, sizeof def.name - 1);
            def.options = CHANNEL_OPTION_INITIALIZED | CHANNEL_OPTION_ENCRYPT_RDP | CHANNEL_OPTION_COMPRESS_RDP;
            const UINT rc = m_entry.pVirtualChannelInitEx(&c, nullptr, m_initHandle, &def, 1,
                                                          VIRTUAL_CHANNEL_VERSION_WIN2000, &CTarselAddin::InitEvent);
            if (rc == CHANNEL_RC_OK)
                ++m_registered;
            else
                LogLine(m_log, "client: channel %s could not be registered (%u)", c.name, rc);
        }
        return m_registered;
    }

    // --- FreeRDP's thread ---------------------------------------------------------

    static VOID VCAPITYPE InitEvent(LPVOID user, LPVOID, UINT event, LPVOID, UINT)
    {
        auto *c = static_cast<Channel *>(user);
        switch (event) {
        case CHANNEL_EVENT_CONNECTED: c->addin->Connected(*c); break;
        case CHANNEL_EVENT_DISCONNECTED: c->addin->Disconnected(*c); break;
        case CHANNEL_EVENT_TERMINATED: c->addin->Terminated(); break;
        default: break;
        }
    }

    static VOID VCAPITYPE OpenEvent(LPVOID user, DWORD, UINT event, LPVOID data, UINT32 length, UINT32 total,
                                    UINT32 flags)
    {
        auto *c = static_cast<Channel *>(user);
        switch (event) {
        case CHANNEL_EVENT_DATA_RECEIVED: c->addin->Received(*c, data, length, total, flags); break;
        case CHANNEL_EVENT_WRITE_COMPLETE:
        case CHANNEL_EVENT_WRITE_CANCELLED: c->addin->WriteReturned(data); break;
        default: break;
        }
    }

    // --- the core's thread ----------------------------------------------------------

    bool Write(int32_t route, const unsigned char *bytes, size_t n) override
    {
        const char *name = CChannelDemux::ChannelOf(m_layout, route);
        if (!name || n == 0 || n > UINT32_MAX)
            return false;
        DWORD handle = 0;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            for (const Channel &c : m_channels)
                if (std::strcmp(c.name, name) == 0)
                    handle = c.openHandle;
            if (handle == 0)
                return false;
        }
        auto buffer = std::make_unique<std::vector<unsigned char>>(bytes, bytes + n);
        void *key = buffer.get();
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_written.emplace(key, std::move(buffer));
        }
        auto &kept = *static_cast<std::vector<unsigned char> *>(key);
        const UINT rc = m_entry.pVirtualChannelWriteEx(m_initHandle, handle, kept.data(), static_cast<ULONG>(n), key);
        if (rc != CHANNEL_RC_OK) {
            LogLine(m_log, "client: %s: write of %zu bytes refused (%u)", name, n, rc);
            WriteReturned(key);
            return false;
        }
        return true;
    }

private:
    // Each channel is a registration of its own (see the top), and FreeRDP
    // tells each registration on its own that the session connected,
    // disconnected or ended.
    void Connected(Channel &c)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bTerminated)
            return;
        DWORD handle = 0;
        const UINT rc = m_entry.pVirtualChannelOpenEx(m_initHandle, &handle, const_cast<char *>(c.name),
                                                      &CTarselAddin::OpenEvent);
        c.openHandle = rc == CHANNEL_RC_OK ? handle : 0;
        if (rc != CHANNEL_RC_OK)
            LogLine(m_log, "client: channel %s could not be opened (%u)", c.name, rc);
        if (m_connected++ != 0)
            return;
        if (!m_bStarted) {
            m_bStarted = true;
            m_worker.Post([this] { Build(); });
            m_worker.Start();
        }
        m_worker.Post([this] { LogLine(m_log, "client: connected, %s layout", m_options.ica ? "ICA" : "RDP"); });
    }

    void Disconnected(Channel &c)
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (c.openHandle != 0)
                m_entry.pVirtualChannelCloseEx(m_initHandle, c.openHandle);
            c.openHandle = 0;
            if (m_connected == 0 || --m_connected != 0)
                return;
        }
        // The files of the session end; the server opens them again after a
        // reconnect, when it finds the client's player once more.
        m_worker.Post([this] {
            LogLine(m_log, "client: disconnected");
            if (m_core)
                m_core->Disconnected();
        });
    }

    void Terminated()
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_registered == 0 || --m_registered != 0)
                return;
        }
        for (Channel &c : m_channels)
            if (c.openHandle != 0)
                Disconnected(c);
        // The player and the core end on their own thread, then the thread.
        m_worker.Stop([this] { Teardown(); });
        bool last = false;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_bTerminated = true;
            last = m_written.empty();
        }
        if (last)
            delete this;
    }

    void Received(const Channel &c, const void *data, UINT32 length, UINT32 total, UINT32 flags)
    {
        const char *name = c.name;
        if (!data || length == 0 || length > total)
            return;
        if (m_options.sink) {
            Count(length);
            return;
        }
        auto piece = std::make_shared<std::vector<unsigned char>>(static_cast<const unsigned char *>(data),
                                                                  static_cast<const unsigned char *>(data) + length);
        const bool first = (flags & CHANNEL_FLAG_FIRST) != 0;
        m_worker.Post([this, name, piece, first] {
            if (!m_core)
                return;
            // The stack's marks may fall inside a message (it cuts and
            // merges): they only give a dropped stream a place to resume.
            if (first)
                m_core->ResumeAt(name);
            m_core->Receive(name, piece->data(), piece->size());
        });
    }

    void WriteReturned(void *key)
    {
        bool last = false;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_written.erase(key);
            last = m_bTerminated && m_written.empty();
        }
        if (last)
            delete this;
    }

    void Build()
    {
        rdpContext *context = m_entry.context;
        const AddinOptions &o = m_options;
        // The remote desktop's size: what the option says, else the
        // session's own, so that a client scaling it scales the video too.
        auto desktop = [context, o]() -> std::pair<int32_t, int32_t> {
            if (o.desktopWidth > 0)
                return {o.desktopWidth, o.desktopHeight};
            if (!context || !context->settings)
                return {0, 0};
            return {static_cast<int32_t>(freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopWidth)),
                    static_cast<int32_t>(freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopHeight))};
        };
        auto ended = [this] {
            if (m_core)
                m_core->Player().OnPlaybackEnded();
        };
        CMediaPlayerOps *media = nullptr;
        if (o.drain) {
            m_drain = std::make_unique<CDrainPlayer>(m_worker, m_clock, m_log, o.blockKB * 1024, o.aheadBlocks,
                                                     o.maxBlockKB * 1024, ended);
            media = m_drain.get();
        } else {
            if (o.vo != "null")
                m_window = CX11VideoWindow::Create(m_log, o.rootParent, desktop);
            MpvPlayerOptions mpv;
            mpv.vo = o.vo;
            mpv.ao = o.ao;
            mpv.blockBytes = o.blockKB * 1024;
            mpv.aheadBlocks = o.aheadBlocks;
            // A player reading at its media rate needs no large blocks, and
            // each block ahead moves the server's progress (the user's
            // slider, where a reconnect resumes) further from the picture.
            mpv.maxBlockBytes = std::min(o.maxBlockKB, 2 * o.blockKB) * 1024;
            m_player = std::make_unique<CMpvPlayer>(m_worker, m_clock, m_log, m_window.get(), mpv, ended);
            media = m_player.get();
        }
        m_core = std::make_unique<CClientCore>(m_layout, o.device, *this, m_clock, m_log, *media);
    }

    void Teardown()
    {
        if (m_core) {
            m_core->Disconnected();
            LogLine(m_log, "client: unloaded: %u protocol errors, %u player messages not acted on",
                    m_core->Device().ProtocolErrors() + m_core->Demux().Errors(), m_core->Player().BadMessages());
        }
        m_core.reset();
        m_drain.reset();
        m_player.reset();
        m_window.reset();
    }

    void Tick()
    {
        if (m_core)
            m_core->Tick();
        if (m_player)
            m_player->Tick();
        if (m_options.sink)
            SinkBurstEnded();
    }

    // The sink: bytes counted on FreeRDP's thread; a burst (the bytes from
    // its first to its last, with a quiet tick after) is logged once.
    void Count(UINT32 length)
    {
        std::lock_guard<std::mutex> hold(m_sinkLock);
        const uint64_t now = m_clock.NowMs();
        if (m_sinkBytes == 0)
            m_sinkFirstMs = now;
        m_sinkBytes += length;
        m_sinkLastMs = now;
    }

    void SinkBurstEnded()
    {
        std::lock_guard<std::mutex> hold(m_sinkLock);
        if (m_sinkBytes == 0 || m_clock.NowMs() - m_sinkLastMs < 500)
            return;
        const uint64_t ms = m_sinkLastMs - m_sinkFirstMs;
        LogLine(m_log, "client: sink: %llu bytes in %llu ms, %.1f MB/s", static_cast<unsigned long long>(m_sinkBytes),
                static_cast<unsigned long long>(ms), ms ? double(m_sinkBytes) / 1000.0 / double(ms) : 0.0);
        m_sinkBytes = 0;
    }

    CHANNEL_ENTRY_POINTS_FREERDP_EX m_entry;
    void *m_initHandle;
    AddinOptions m_options;
    ChannelLayout m_layout;
    CAddinLog m_log;
    CSteadyClock m_clock;

    std::mutex m_lock;   // the channels' handles and the buffers written
    std::vector<Channel> m_channels;   // never resized: FreeRDP holds pointers to its entries
    size_t m_registered = 0;           // registrations not yet told TERMINATED
    size_t m_connected = 0;            // channels told CONNECTED, not yet DISCONNECTED
    std::map<void *, std::unique_ptr<std::vector<unsigned char>>> m_written;
    bool m_bStarted = false;
    bool m_bTerminated = false;

    // The worker's own (built and torn down on it). The worker is last: it
    // stops before the rest goes.
    std::unique_ptr<CX11VideoWindow> m_window;
    std::unique_ptr<CMpvPlayer> m_player;
    std::unique_ptr<CDrainPlayer> m_drain;
    std::mutex m_sinkLock;
    uint64_t m_sinkBytes = 0, m_sinkFirstMs = 0, m_sinkLastMs = 0;
    std::unique_ptr<CClientCore> m_core;
    CCoreWorker m_worker;
};

} // namespace

extern "C" __attribute__((visibility("default"))) BOOL VCAPITYPE VirtualChannelEntryEx(PCHANNEL_ENTRY_POINTS_EX points,
                                                                                       PVOID initHandle)
{
    auto *entry = reinterpret_cast<CHANNEL_ENTRY_POINTS_FREERDP_EX *>(points);
    if (!entry || entry->cbSize < sizeof(CHANNEL_ENTRY_POINTS_FREERDP_EX) ||
        entry->MagicNumber != FREERDP_CHANNEL_MAGIC_NUMBER || !entry->pVirtualChannelInitEx ||
        !entry->pVirtualChannelOpenEx || !entry->pVirtualChannelCloseEx || !entry->pVirtualChannelWriteEx)
        return FALSE;
    std::vector<std::string> args;
    if (const auto *argv = static_cast<const ADDIN_ARGV *>(entry->pExtendedData))
        for (int i = 1; i < argv->argc && argv->argv; ++i)
            if (argv->argv[i])
                args.push_back(argv->argv[i]);
    std::vector<std::string> errors;
    const AddinOptions options = ParseAddinOptions(args, &errors);
    auto addin = std::make_unique<CTarselAddin>(*entry, initHandle, options);
    for (const std::string &e : errors)
        addin->Log().Line("client: " + e);
    if (addin->Register() == 0)
        return FALSE;
    LogLine(addin->Log(), "client: loaded, %s layout", options.ica ? "ICA" : "RDP");
    // FreeRDP holds it now, and hands it back with TERMINATED.
    addin.release();
    return TRUE;
}
