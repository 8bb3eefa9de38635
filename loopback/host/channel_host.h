// A static virtual channel add-in's world without a remote desktop: the
// host plays FreeRDP 2's part towards the add-in (VirtualChannelEntryEx and
// the InitEx, OpenEx, CloseEx and WriteEx entry points, its events on a
// connection thread of the host's own) and carries each channel's bytes to
// and from vcrelay's connections (relay_links.h). Everything the add-in
// passes is checked as FreeRDP does, and more: a call it would refuse gets
// its code and a log line, never a crash.
#pragma once

#include "relay_links.h"

#include <freerdp/settings.h>
#include <freerdp/svc.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vchost {

struct HostOptions
{
    std::vector<std::string> addinOptions;   // after argv[0] "tarsel"
    bool randomSplit = false;                // merge frames and cut them anywhere
    uint32_t seed = 1;
    double roamAfterSeconds = -1;            // < 0: no roam
    double roamGapSeconds = 2;
    bool roamOnSignal = false;               // the roam waits for RoamNow
    bool traceFrames = false;                // a line per frame each way
};

class CChannelHost
{
public:
    using LogFn = std::function<void(const std::string &)>;

    CChannelHost(HostOptions options, LogFn log);
    ~CChannelHost();
    CChannelHost(const CChannelHost &) = delete;
    CChannelHost &operator=(const CChannelHost &) = delete;

    // dlopen and VirtualChannelEntryEx.
    bool Load(const std::string &path, std::string *error);
    // Listens for the relay, then INITIALIZED and CONNECTED on the host's thread.
    bool Start(uint16_t port, std::string *error);
    uint16_t Port() const { return m_listener.Port(); }
    // What is queued is sent or cancelled, DISCONNECTED, TERMINATED, the
    // thread and the relay's connections end, dlclose.
    void Stop();
    std::string Summary() const;
    // The roam of roamOnSignal starts now (any thread).
    void RoamNow();

private:
    struct Write
    {
        const unsigned char *data;
        uint32_t length;
        void *userData;
        std::chrono::steady_clock::time_point deadline;
    };
    struct Channel
    {
        std::string name;
        uint32_t options = 0;
        DWORD openHandle = 0;
        LPVOID userParam = nullptr;   // its registration's
        bool open = false;
        PCHANNEL_OPEN_EVENT_EX_FN openProc = nullptr;
        std::deque<Write> writes;
    };
    struct LinkState
    {
        std::shared_ptr<CLink> link;
        bool excluded = false;   // the player program's: it never reads
    };
    struct Counters
    {
        uint32_t links = 0, rejectedCalls = 0, dropped = 0, roams = 0;
        uint64_t framesIn = 0, bytesIn = 0, pieces = 0, writes = 0, writeBytes = 0, cancelled = 0;
    };
    // The write to carry out next, taken from its channel's queue.
    struct WriteAction
    {
        Write write;
        PCHANNEL_OPEN_EVENT_EX_FN proc = nullptr;
        DWORD openHandle = 0;
        std::vector<std::shared_ptr<CLink>> targets;   // none: cancelled
    };

    static CChannelHost *HostOf(LPVOID initHandle);
    static UINT VCAPITYPE InitEx(LPVOID userParam, LPVOID clientContext, LPVOID initHandle, PCHANNEL_DEF channels,
                                 INT count, ULONG version, PCHANNEL_INIT_EVENT_EX_FN proc);
    static UINT VCAPITYPE OpenEx(LPVOID initHandle, LPDWORD openHandle, PCHAR name, PCHANNEL_OPEN_EVENT_EX_FN proc);
    static UINT VCAPITYPE CloseEx(LPVOID initHandle, DWORD openHandle);
    static UINT VCAPITYPE WriteEx(LPVOID initHandle, DWORD openHandle, LPVOID data, ULONG length, LPVOID userData);
    UINT Reject(const char *call, UINT code, const std::string &detail);
    Channel *ChannelByHandle(DWORD openHandle);
    Channel *ChannelByName(const std::string &name);

    void Run();
    void CallInit(UINT event, const void *data, UINT length);
    void Connect();
    void Disconnect();
    void HandleLinkEvent(LinkEvent &&e);
    void Deliver(const std::string &name, std::vector<std::vector<unsigned char>> &&frames);
    void DeliverPiece(PCHANNEL_OPEN_EVENT_EX_FN proc, DWORD handle, const unsigned char *data, uint32_t n,
                      uint32_t total, uint32_t flags);
    bool NextWrite(bool cancelWaiting, WriteAction *out);
    void CarryOut(WriteAction &&action);
    void ProcessWrites(bool cancelWaiting);
    std::vector<std::shared_ptr<CLink>> TargetsOf(const std::string &name) const;
    void Log(const std::string &line) const { m_log(line); }
    void TraceFrame(const char *way, uint32_t link, const unsigned char *data, size_t n) const;

    HostOptions m_options;
    LogFn m_log;
    void *m_library = nullptr;
    std::vector<std::string> m_argStrings;
    std::vector<char *> m_argv;
    ADDIN_ARGV m_addinArgv{};
    CRelayListener m_listener;
    std::thread m_thread;
    std::mt19937 m_random;

    mutable std::mutex m_lock;   // everything below
    std::condition_variable m_wake;
    bool m_bStop = false;
    bool m_bInEntry = false;
    bool m_bTerminated = false;
    bool m_bConnected = false;
    struct Registration
    {
        LPVOID userParam;
        PCHANNEL_INIT_EVENT_EX_FN proc;
    };
    std::vector<Registration> m_registrations;   // InitEx calls, in order
    std::vector<Channel> m_channels;
    DWORD m_nextOpenHandle = 0x100;
    std::deque<LinkEvent> m_events;
    std::map<uint32_t, LinkState> m_links;
    std::map<std::string, uint32_t> m_preferred;   // ICA: the server's control connection
    std::shared_ptr<CLink> m_session;
    bool m_bRelayReconnected = false;
    bool m_bRoamNow = false;
    bool m_bWritePosted = false;   // WriteEx queued a write since the loop last looked
    Counters m_counters;
};

} // namespace vchost
