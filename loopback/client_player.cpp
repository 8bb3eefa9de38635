#include "client_player.h"

#include "protocol.h"
#include "text_format.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace loopback {

namespace {

std::wstring Wide(const std::u16string &s) { return std::wstring(s.begin(), s.end()); }

// After a reconnect the player program sends its state again (open, seek,
// volume, pause, ...): the first read waits until that has stopped coming.
constexpr std::chrono::milliseconds kResumeSettle{250};

} // namespace

std::string PlayerSummary::Line() const
{
    return Format("player: summary: commands=%u opens=%u closes=%u pauses=%u plays=%u seeks=%u bytes=%llu "
                  "mismatches=%u protocol_errors=%u failures=%u last_name=%s result=%s reconnects=%u",
                  commands, opens, closes, pauses, plays, seeks, static_cast<unsigned long long>(bytes), mismatches,
                  protocolErrors, failures, Utf8(lastName).c_str(), Ok() ? "ok" : "fail", reconnects);
}

CClientPlayer::CClientPlayer(ClientDevice &device, const PlayerOptions &options)
    : m_device(device), m_options(options), m_start(Clock::now())
{
}

PlayerSummary CClientPlayer::Run()
{
    const auto end = m_start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_options.seconds));
    m_generation = m_device.Generation();
    while (!m_bStop && !m_bQuit && (m_options.seconds <= 0 || Clock::now() < end)) {
        RoamOnSchedule();
        if (m_device.Generation() != m_generation)
            Disconnected();
        if (m_device.Reconnects() != m_sum.reconnects)
            Publish();
        // Messages first; between them, the next read when it is due.
        DWORD wait = 100;
        if (m_sum.playing) {
            const auto due = std::chrono::duration_cast<std::chrono::milliseconds>(NextRead() - Clock::now()).count();
            wait = due <= 0 ? 0 : due < 100 ? static_cast<DWORD>(due) : 100;
        }
        ReceivedMessage m;
        if (m_device.Receive(ClientDevice::kPlayer, &m, wait))
            Handle(m);
        else if (m_sum.playing && Clock::now() >= NextRead())
            Step();
    }
    Close();
    Publish();
    Log(m_sum.Line());
    return m_sum;
}

PlayerSummary CClientPlayer::Snapshot() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_published;
}

void CClientPlayer::Publish()
{
    m_sum.reconnects = m_device.Reconnects();
    m_sum.firstByteAfterReconnectMs = m_device.FirstByteAfterReconnectMs();
    std::lock_guard<std::mutex> hold(m_lock);
    m_published = m_sum;
}

double CClientPlayer::Ms(Clock::time_point t) const
{
    return std::chrono::duration<double, std::milli>(t - m_start).count();
}

void CClientPlayer::Log(const std::string &line)
{
    if (m_log)
        m_log(line);
}

void CClientPlayer::Handle(const ReceivedMessage &m)
{
    PlayerEvent e;
    e.message = CheckPlayerMessage(m.bytes.data(), m.bytes.size());
    e.arrived = m.received;
    e.ms = Ms(m.received);
    Log(Format("player: %s ms=%.1f", PlayerMessageText(e.message).c_str(), e.ms));
    m_lastMessage = Clock::now();
    switch (e.message.kind) {
    case PlayerMessage::kSolicitation: {
        std::string error;
        if (m_device.AnswerSolicitation(m, m_options.device, &error)) {
            ++m_sum.solicitations;
        } else if (m_device.Generation() == m_generation && !m_device.SolicitationWaiting()) {
            // Neither cut by a disconnect nor asked again (the next is answered).
            ++m_sum.failures;
            Log("player: solicitation not answered: " + error);
        }
        break;
    }
    case PlayerMessage::kOpen:
        ++m_sum.commands;
        Open(e.message.name);
        break;
    case PlayerMessage::kControl:
        ++m_sum.commands;
        Command(e.message.control);
        break;
    default:   // counted, not acted on
        ++m_sum.protocolErrors;
        break;
    }
    Publish();
    if (m_onMessage)
        m_onMessage(e);
}

void CClientPlayer::Command(const PlayerControl &c)
{
    switch (c.dwCommand) {
    case PLAYER_CMD_PAUSE:
        ++m_sum.pauses;
        m_sum.playing = false;
        break;
    case PLAYER_CMD_PLAY:
        ++m_sum.plays;
        if (m_sum.open)   // after the end, from the start again
            Restart(m_sum.atEnd ? 0 : m_sum.position);
        break;
    case PLAYER_CMD_SEEK:
        ++m_sum.seeks;
        if (m_sum.open) {
            const bool playing = m_sum.playing;
            Restart(static_cast<uint32_t>(uint64_t(m_sum.size) * static_cast<uint32_t>(c.nParam1) / 100));
            m_file.reposition = true;
            m_sum.playing = playing;
        }
        break;
    case PLAYER_CMD_STOP:
        Close();
        break;
    case PLAYER_CMD_CLOSE:
    case PLAYER_CMD_KILL_PLAYER:
        Close();
        m_bQuit = m_options.exitOnClose;
        break;
    default:   // window, sound and display commands: nothing to read
        break;
    }
}

// Plays on from `position`, the pace counted from now.
void CClientPlayer::Restart(uint32_t position)
{
    if (!m_file.want && !m_file.url)
        return;   // no local copy to check against: nothing is read
    if (position != m_sum.position || m_sum.atEnd)
        m_file.reposition = true;
    m_sum.position = position;
    m_sum.atEnd = false;
    m_sum.playing = true;
    m_file.paceStart = Clock::now();
    m_file.paceBytes = 0;
}

CClientPlayer::Clock::time_point CClientPlayer::NextRead() const
{
    const auto now = Clock::now();
    Clock::time_point due = now;
    if (m_options.playKbps != 0 &&
        (m_options.fastAfterSeconds < 0 || now - m_file.opened < std::chrono::duration<double>(m_options.fastAfterSeconds))) {
        const double seconds = m_file.paceBytes * 8.0 / (m_options.playKbps * 1000.0);
        due = m_file.paceStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
    if (m_bResumePending && due < m_lastMessage + kResumeSettle)
        due = m_lastMessage + kResumeSettle;
    return due;
}

// The option's roam: the disconnect once its time has come, the reconnect
// a gap later (the loop goes on meanwhile, so Stop is seen).
void CClientPlayer::RoamOnSchedule()
{
    const DeviceOptions &o = m_options.device;
    const auto now = Clock::now();
    if (!m_bRoamed && o.roamAfterSeconds >= 0 && now - m_start >= std::chrono::duration<double>(o.roamAfterSeconds)) {
        m_bRoamed = true;
        m_device.Disconnect();
        m_reconnectDue = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.roamGapSeconds));
    } else if (m_reconnectDue != Clock::time_point{} && now >= m_reconnectDue) {
        m_reconnectDue = {};
        std::string error;
        if (!m_device.Reconnect(&error, o.roamPlayerLateSeconds)) {
            ++m_sum.failures;
            Log("player: cannot reconnect: " + error);
        }
    }
}

// The session went, and the server's end of the open file with it: no CLOS
// can be sent, so the file is forgotten. Where it stood is kept for the
// line of the first read after the reconnect.
void CClientPlayer::Disconnected()
{
    m_generation = m_device.Generation();
    if (m_sum.open)
        m_sum.disconnectedAt = m_sum.position;
    else if (!m_bResumePending)
        m_sum.disconnectedAt = -1;
    m_sum.resumedAt = -1;
    m_sum.open = m_sum.playing = m_sum.atEnd = false;
    m_sum.size = m_sum.position = 0;
    m_file = File{};
    m_bResumePending = true;
    Publish();
}

FileReport CClientPlayer::Exchange() const
{
    FileReport r;
    r.fileDesc = m_file.report.fileDesc;
    r.channel = m_file.report.channel;
    r.session = m_file.report.session;
    return r;
}

// Adds one exchange's counts; false when it failed.
bool CClientPlayer::Account(const FileReport &r)
{
    m_file.report.bytes += r.bytes;
    m_sum.bytes += r.bytes;
    m_sum.mismatches += r.mismatches;
    m_sum.protocolErrors += r.protocolErrors;
    if (r.error.empty())
        return true;
    if (m_device.Generation() != m_generation)
        return false;   // cut by a disconnect: the roam's doing, not a failure
    if (r.protocolErrors == 0)
        ++m_sum.failures;
    Log("player: " + r.error);
    return false;
}

void CClientPlayer::Open(const std::u16string &name)
{
    Close();
    ++m_sum.opens;
    m_sum.lastName = name;
    m_file = File{};
    m_file.url = name.find(u"://") != std::u16string::npos;
    // The names are the server's, and the server is this machine.
    if (!m_file.url)
        m_file.want = LoadSourceFile(Wide(name));
    FileReport r;
    const bool replied = m_device.RequestOpen(Wide(name), &r, m_options.device.timeoutMs);
    if (!Account(r) || !replied)
        return;
    if (r.fileDesc == -1) {
        if (!m_options.device.expectOpenFail)
            ++m_sum.failures;
        Log(Format("player: open refused: name=%s extended=0x%x system=%d", Utf8(name).c_str(),
                   static_cast<unsigned>(r.extendedError), r.systemError));
        return;
    }
    m_file.report.fileDesc = r.fileDesc;
    m_file.report.channel = r.channel;
    m_file.report.session = r.session;
    m_file.opened = Clock::now();
    m_sum.open = true;
    m_sum.size = 0;
    if (m_file.want) {
        m_sum.size = static_cast<uint32_t>(m_file.want->size());
    } else if (m_file.url) {
        // A URL is checked by count: its size is the server's.
        FileReport seek = Exchange();
        int32_t size = 0;
        const bool ok = m_device.RequestWord(&seek, BuildWordsRequest(PYXMSG_RPC_SEEK, {static_cast<uint32_t>(r.fileDesc), 0, 2}, 0, r.channel),
                                             &size, m_options.device.timeoutMs);
        if (!Account(seek) || !ok)
            return;
        m_sum.size = static_cast<uint32_t>(size < 0 ? 0 : size);
    } else {
        ++m_sum.failures;
        Log("player: no local file to check against: " + Utf8(name));
        return;
    }
    m_file.reposition = true;
    m_sum.position = 0;
    Restart(0);
}

void CClientPlayer::Close()
{
    if (!m_sum.open)
        return;
    FileReport r = Exchange();
    m_device.RequestClose(&r, PYXMSG_RPC_CLOSE, static_cast<uint32_t>(m_file.report.fileDesc), m_file.url ? 1 : 0,
                          m_options.device.timeoutMs);
    Account(r);
    ++m_sum.closes;
    m_sum.open = m_sum.playing = m_sum.atEnd = false;
    m_sum.size = m_sum.position = 0;
}

// One read at the position; at the end, the read past it.
void CClientPlayer::Step()
{
    if (m_bResumePending) {
        m_bResumePending = false;
        m_sum.resumedAt = m_sum.position;
        Log(Format("player: resumed at byte %u of %u, disconnected at byte %lld", m_sum.position, m_sum.size,
                   static_cast<long long>(m_sum.disconnectedAt)));
    }
    FileReport r = Exchange();
    int32_t got = 0;
    const bool ok = m_device.RequestRead(&r, m_file.want ? m_file.want->data() : nullptr, m_sum.size, m_sum.position,
                                         m_options.device.requestSize, m_file.reposition, &got, m_options.device.timeoutMs);
    if (!Account(r) || !ok) {
        m_sum.playing = false;
    } else if (got > 0) {
        m_file.reposition = false;
        m_sum.position += static_cast<uint32_t>(got);
        m_file.paceBytes += static_cast<uint32_t>(got);
    } else {
        if (m_sum.position < m_sum.size) {
            ++m_sum.failures;
            Log(Format("player: the file ended early, at %u of %u", m_sum.position, m_sum.size));
        }
        m_sum.playing = false;
        m_sum.atEnd = true;
        Log(Format("player: eof name=%s bytes=%llu ms=%.1f", Utf8(m_sum.lastName).c_str(),
                   static_cast<unsigned long long>(m_file.report.bytes), Ms(Clock::now())));
    }
    Publish();
}

bool ParsePlayerOptions(const std::vector<std::string> &args, PlayerOptions *out, bool *ica, std::string *error)
{
    std::vector<std::string> rest;
    if (!ParseDeviceOptions(args, &out->device, ica, &rest, error))
        return false;
    if (!out->device.files.empty()) {
        *error = "--file does not go with --player";
        return false;
    }
    for (size_t i = 0; i < rest.size(); ++i) {
        const std::string &a = rest[i];
        if (a == "--player") {
            continue;
        } else if (a == "--exit-on-close") {
            out->exitOnClose = true;
            continue;
        } else if (a != "--play-kbps" && a != "--fast-after" && a != "--seconds") {
            *error = "unknown option " + a;
            return false;
        }
        char *end = nullptr;
        const double v = i + 1 < rest.size() ? std::strtod(rest[i + 1].c_str(), &end) : -1;
        if (!end || end == rest[i + 1].c_str() || *end || v < 0) {
            *error = a + " needs a number of 0 or more";
            return false;
        }
        ++i;
        if (a == "--play-kbps")
            out->playKbps = static_cast<uint32_t>(v);
        else if (a == "--fast-after")
            out->fastAfterSeconds = v;
        else
            out->seconds = v;
    }
    return true;
}

} // namespace loopback
