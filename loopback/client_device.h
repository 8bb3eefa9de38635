// The client device of a whole session on the loopback platform: it keeps
// the session's channels listening, answers the server's solicitation with
// the parameters it was given, opens files or URLs, reads each to its end
// with a mix of positioned reads and seeks, checks every byte against the
// source, closes them, and sums up what it saw. Several files are served
// at once, each by a thread of its own; it can also send malformed messages
// to show that the server drops them and goes on serving. It can roam: leave
// the session (every channel closes) and come back to it as a fresh client,
// telling the windows registered for session notifications both times.
#pragma once

#include "session_state.h"
#include "vc_server.h"
#include "handle_win.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

struct DeviceFile
{
    std::wstring name;     // as sent in OPEN: a path of the server or a URL
    std::wstring source;   // a local copy of the same bytes, to check against
};

struct DeviceOptions
{
    std::vector<DeviceFile> files;
    int parallel = 1;              // files served at once; the list is repeated to fill
    uint32_t requestSize = 65536;  // READ count, FRED nmemb
    uint32_t readCap = 0;          // SEND: dwMaxBlockKB
    uint32_t targetRate = 0;       // SEND: dwTargetRate
    uint32_t chunking = 1;         // SEND: dwChunking
    uint32_t policy = 0;           // SEND: dwPolicy
    bool stream = false;           // FDOP, FRED, FSEK, FTEL, closed with FCLO
    uint32_t seed = 1;             // the mix of positioned reads and seeks; 0: none
    bool malformed = false;        // send short, lying and unknown messages too
    bool expectOpenFail = false;   // every OPEN is expected to be refused
    DWORD timeoutMs = 20000;       // for any one reply
    double roamAfterSeconds = -1;  // disconnect once, this long after the run starts; < 0: never
    double roamGapSeconds = 2;     // and reconnect this long after the disconnect
    double roamPlayerLateSeconds = 0;   // after the reconnect the client's player listens this much later
};

struct FileReport
{
    int index = 0;
    std::wstring name;
    int32_t fileDesc = -1;
    int32_t channel = -1;
    int32_t extendedError = 0;
    int32_t systemError = 0;
    uint64_t bytes = 0;          // bytes received and checked
    uint32_t requests = 0;       // data requests answered
    uint32_t chunked = 0;        // replies that came in chunks
    uint32_t mismatches = 0;     // bytes that differ from the source
    uint32_t protocolErrors = 0; // replies of the wrong kind, size or number
    double firstByteMs = -1;     // from sending OPEN to the first data byte
    uint64_t session = 0;        // the device's generation at the OPEN: requests go to that session only
    uint32_t reopens = 0;        // opened again after a reconnect
    bool ok = false;
    std::string error;           // why it failed

    std::string Line() const;
};

struct DeviceSummary
{
    uint32_t files = 0;
    uint64_t bytes = 0;
    double seconds = 0;
    double mbps = 0;             // 10^6 bytes per second over the files' whole run
    uint32_t requests = 0;
    uint32_t chunked = 0;
    uint32_t chunkErrors = 0;
    uint32_t mismatches = 0;
    uint32_t protocolErrors = 0;
    uint32_t reconnects = 0;
    double firstByteAfterReconnectMs = -1;   // from the last reconnect to the first data byte after it
    bool ok = false;
    std::string error;           // the session's own failure (handshake)
    std::vector<FileReport> reports;

    std::string Line() const;
};

class ClientDevice
{
public:
    explicit ClientDevice(bool ica);
    ~ClientDevice();
    ClientDevice(const ClientDevice &) = delete;
    ClientDevice &operator=(const ClientDevice &) = delete;

    // Listens on the session's channels.
    bool Start(std::string *error);
    void Stop();

    // Waits for the solicitation and answers it with SEND; the newest, when
    // the server asks again before it answered.
    bool Handshake(const DeviceOptions &options, std::string *error);
    // Answers a solicitation already received (the server asks again when
    // it restarts its control thread). Gives up, false, once a newer one
    // waits: the control thread that asked is gone, and so is the channel
    // its answer would come on.
    bool AnswerSolicitation(const ReceivedMessage &solicitation, const DeviceOptions &options, std::string *error);
    // Whether a solicitation waits among the player channel's messages.
    bool SolicitationWaiting();
    // Serves the files of `options` (after a handshake); one report each.
    DeviceSummary Run(const DeviceOptions &options);
    // Both, as one session.
    DeviceSummary Session(const DeviceOptions &options);

    // Where replies arrive: the control channel, the player channel, or a
    // data channel 0 ... 9.
    enum Route { kControl = -1, kPlayer = -2 };

    // One exchange: sends `request` (its PSN is replaced by a fresh one)
    // and waits for the reply with that PSN on `route`.
    bool Call(int route, std::vector<unsigned char> request, ReceivedMessage *reply, DWORD timeoutMs);
    // Sends a message as it is, without waiting.
    bool SendRaw(int route, const void *data, uint32_t length);
    // Waits for the next message on a route.
    bool Receive(int route, ReceivedMessage *out, DWORD timeoutMs);
    // One file's exchanges one at a time, for a caller that paces its reads
    // (the client player). Each counts into `r` and on failure sets r->error.
    // After OPEN they go to the session the file was opened in (r->session)
    // and fail at once when it is gone.
    // OPEN: true when a well-formed reply came (fileDesc -1: refused).
    bool RequestOpen(const std::wstring &name, FileReport *r, DWORD timeoutMs);
    // READ of `count` bytes at the current position, or at `at` when
    // `positioned`; the data must be bytes `at`... of a file of `size` bytes
    // and equal `want` there (null: checked by count alone).
    bool RequestRead(FileReport *r, const unsigned char *want, uint32_t size, uint32_t at, uint32_t count,
                     bool positioned, int32_t *got, DWORD timeoutMs);
    // A request on the file's data channel answered by one word (SEEK, FSEK, FTEL).
    bool RequestWord(FileReport *r, std::vector<unsigned char> request, int32_t *value, DWORD timeoutMs);
    // CLOS or FCLO of `handle`, whose reply must carry `result`.
    bool RequestClose(FileReport *r, uint32_t code, uint32_t handle, int32_t result, DWORD timeoutMs);

    // Roaming. Disconnect: the session reads disconnected (the stand-ins'
    // WTSConnectState), every channel closes (the programs' reads and writes
    // fail; waits on a route end at once), then the windows registered with
    // WTSRegisterSessionNotification get WM_WTSSESSION_CHANGE (console
    // disconnect for ICA, remote disconnect for RDP).
    void Disconnect();
    // A network drop the session does not report yet: every channel closes
    // (the programs' reads and writes fail) while the session still reads
    // connected and no window is told. A Disconnect reports it later.
    void LoseChannels();
    // A fresh client: the channels listen again, the routes are emptied, the
    // session reads connected, and the windows are told (console or remote
    // connect). With playerLateSeconds the client's player listens that much
    // later: until then the player program's opens fail (kPlayerLateEvent).
    bool Reconnect(std::string *error, double playerLateSeconds = 0);
    // Both, gapSeconds apart (cut short by Stop).
    bool Roam(double gapSeconds, std::string *error, double playerLateSeconds = 0);
    bool IsConnected() const { return m_bConnected.load(); }
    // One more at every disconnect: an exchange begun at an earlier
    // generation was cut by the roam.
    uint64_t Generation() const { return m_generation.load(); }
    uint32_t Reconnects() const { return m_reconnects.load(); }
    // From the last reconnect to the first data byte that came after it;
    // -1 until one came.
    double FirstByteAfterReconnectMs() const;

    // Messages that arrived where no one waits for them, or on no route.
    uint32_t StrayMessages() const { return m_stray.load(); }
    uint32_t ChunkErrors() const;

    // Log lines (one per file, the summary, the roam's); none by default.
    std::function<void(const std::string &)> m_log;

private:
    struct Mailbox
    {
        std::mutex lock;
        std::condition_variable arrived;
        std::deque<ReceivedMessage> queue;
    };

    using Clock = std::chrono::steady_clock;
    struct Channels
    {
        std::shared_ptr<ChannelServer> control;   // RDP pyxcm, ICA ZRBCHNL
        std::shared_ptr<ChannelServer> player;    // RDP pyxan
        std::vector<std::shared_ptr<ChannelServer>> data;   // RDP pyx00 ... pyx09
        uint32_t ChunkErrors() const;
    };

    Channels MakeChannels() const;
    bool Listen(const Channels &channels, std::string *error);
    void StopListening();
    std::shared_ptr<ChannelServer> ServerFor(int route) const;
    Mailbox &MailboxFor(int route);
    bool CallAt(int route, std::vector<unsigned char> request, ReceivedMessage *reply, DWORD timeoutMs, uint64_t generation,
                const std::function<bool()> &giveUp = {});
    bool SendAt(int route, const void *data, uint32_t length, uint64_t generation);
    bool ReceiveAt(int route, ReceivedMessage *out, DWORD timeoutMs, uint64_t generation);
    void Route(ChannelServer &server, int fixedRoute, ReceivedMessage &&m);
    void SessionReady();
    bool WaitSessionBack(const DeviceOptions &options, std::string *why);
    void RoamDuringRun(const DeviceOptions &options, Clock::time_point start);
    void NoteData(Clock::time_point received);
    void Log(const std::string &line);
    void Deliver(int route, ReceivedMessage &&m);
    uint32_t NextPsn();
    void ServeFile(const DeviceOptions &options, int index, const DeviceFile &file, FileReport *report);
    bool DataCall(FileReport *r, std::vector<unsigned char> request, ReceivedMessage *reply, DWORD timeoutMs);
    bool CheckData(FileReport *r, const ReceivedMessage &reply, const unsigned char *want, uint32_t size, uint32_t at,
                   uint32_t asked, int32_t *got);
    void SendMalformedControl(DeviceSummary *summary, DWORD timeoutMs);

    bool m_bIca;
    Channels m_channels;                 // replaced by a reconnect
    mutable std::mutex m_channelsLock;   // guards m_channels and m_retiredChunkErrors
    uint32_t m_retiredChunkErrors = 0;   // of the channels before the last reconnect
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_bRouteStop{false};

    // The roam.
    std::mutex m_roamLock;               // one Disconnect, Reconnect or Stop at a time
    CSessionState m_session;             // what the stand-in libraries read
    std::atomic<bool> m_bConnected{false};
    bool m_bChannelsLost = false;        // by LoseChannels, until the reconnect
    CHandle m_hPlayerLate;               // kPlayerLateEvent, made at the first late reconnect
    std::thread m_playerLateTimer;       // resets it when the player's time has come
    std::atomic<uint64_t> m_generation{0};
    std::atomic<uint32_t> m_reconnects{0};
    Clock::time_point m_started = Clock::now();
    // The session after a reconnect: usable again once the solicitation is
    // answered (m_readyGeneration reaches m_generation).
    mutable std::mutex m_sessionLock;
    std::condition_variable m_sessionChanged;
    uint64_t m_readyGeneration = 0;
    bool m_bRunDone = false;
    std::string m_roamError;             // the session did not come back
    Clock::time_point m_reconnectedAt{};
    std::atomic<bool> m_bAwaitFirstByte{false};
    double m_firstByteAfterReconnectMs = -1;
    std::mutex m_logLock;
    Mailbox m_mailboxes[12];   // control, player, data 0 ... 9
    std::mutex m_controlLock;  // one control exchange at a time
    std::atomic<uint32_t> m_psn{1};
    std::atomic<uint32_t> m_stray{0};
};

// The bytes of a local file; null when it cannot be read.
std::shared_ptr<const std::vector<unsigned char>> LoadSourceFile(const std::wstring &path);

// Parses the emulator's device options (see pyxclient); false with a message
// on a bad command line. Arguments it doesn't know are left in `rest`.
bool ParseDeviceOptions(const std::vector<std::string> &args, DeviceOptions *out, bool *ica,
                        std::vector<std::string> *rest, std::string *error);

} // namespace loopback
