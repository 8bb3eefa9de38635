// pyxclient: the client device of the loopback platform. It keeps the
// session's channels listening (RDP: pyxcm, pyx00 ... pyx09, pyxan; ICA: one
// channel ZRBCHNL with an instance per open), prints every message it
// receives as one line, and sends the messages it is given.
//
//   pyxclient [--protocol rdp|ica] [--seconds N] [--send CHANNEL HEX]...
//
// HEX is a whole message (header included) as hexadecimal digits; it is
// sent once its channel is connected.
//
// As the client device of a whole session (given one or more --file):
//
//   pyxclient [--protocol rdp|ica] --file NAME [--source PATH] [--file ...]
//             [--parallel N] [--request-size BYTES] [--read-cap KB]
//             [--rate KBPS] [--chunking 0|1] [--policy WORD] [--stream]
//             [--seed N] [--malformed] [--expect-open-fail] [--timeout-ms N]
//             [--roam SECONDS[,GAP[,PLAYER_LATE]]]
//
// It answers the solicitation with SEND, serves every file (NAME as sent in
// OPEN, PATH the local copy its bytes are checked against, NAME by default),
// prints a line per file and a summary line, and exits 0 when every byte
// was right and every reply as expected.
//
// As the client's media player:
//
//   pyxclient --player [--protocol rdp|ica] [--play-kbps K] [--fast-after SECONDS]
//             [--seconds N] [--exit-on-close] [--request-size BYTES]
//             [--read-cap KB] [--rate KBPS] [--chunking 0|1] [--timeout-ms N]
//             [--expect-open-fail] [--roam SECONDS[,GAP[,PLAYER_LATE]]]
//
// It answers every solicitation, checks and prints every message of the
// player program ("player: CONT PAUSE 0 0 0 0 ms=..."), acts on them (see
// client_player.h), and ends with a summary line; exit code 0 when it is ok.
// In the listening mode the player's messages get such a line too.
//
// --roam: once, SECONDS after the start (the device: after the handshake,
// and only while files are still being served), the client leaves the
// session and comes back GAP seconds later (2 by default), as a client
// device that loses its network does. The session reads disconnected
// (WTSConnectState), every channel closes, and the windows registered with
// WTSRegisterSessionNotification get WM_WTSSESSION_CHANGE; on the way back
// new channels listen, the session reads connected and the windows are told
// again. With PLAYER_LATE the client's player listens that many seconds
// after the reconnect: until then the player program cannot open a channel.
// It prints
//
//   pyxclient: disconnected at ms=...
//   pyxclient: reconnected at ms=...
//   pyxclient: the player listens at ms=...   (with PLAYER_LATE)
//   pyxclient: first byte N ms after the reconnect
//
// (ms since it began listening). The device answers the server's new
// solicitation, opens every file cut by the roam again and goes on from
// where it was; the player forgets the file that was open and acts on what
// the player program sends again, and prints "player: resumed at byte Y of
// SIZE, disconnected at byte X" at its first read. Both summary lines end
// with "reconnects=N".
#include "client_device.h"
#include "client_player.h"
#include "player_check.h"
#include "protocol.h"
#include "vc_server.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using loopback::ChannelServer;
using loopback::ReceivedMessage;

namespace {

const auto g_start = std::chrono::steady_clock::now();

std::vector<unsigned char> FromHex(const std::string &hex)
{
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

void PrintMessage(const ReceivedMessage &m)
{
    const unsigned char *b = m.bytes.data();
    if (m.bytes.size() < kHeaderSize) {
        std::printf("[%s#%d] short message of %zu bytes\n", m.channel.c_str(), m.instance, m.bytes.size());
        return;
    }
    const MessageHeader h = LoadHeader(b);
    char code[5] = {};
    for (int i = 0; i < 4; ++i)
        code[i] = (b[i] >= 0x20 && b[i] < 0x7F) ? static_cast<char>(b[i]) : '.';
    std::printf("[%s#%d] %s size=%u psn=%u channel=%d chunks=%u bytes=%zu", m.channel.c_str(), m.instance, code,
                h.dwMessageDataSize, h.dwPSN, h.dwChannelNumber, m.chunks, m.bytes.size());
    if (m.bytes.size() >= 36)
        std::printf(" word0=%d", LoadLE32s(b + 32));
    std::printf("\n");
    std::fflush(stdout);
}

// A message of the player route (RDP pyxan; ICA the player's codes or
// channel -2) as the player reads it.
void PrintPlayerLine(const ReceivedMessage &m)
{
    const size_t n = m.bytes.size();
    const bool player = m.channel == kRdpPlayerChannelName || HasPlayerCode(m.bytes.data(), n) ||
                        (m.channel == kIcaChannelName && n >= kHeaderSize && MessageChannel(m.bytes.data()) == CHANNEL_PLAYER);
    if (!player)
        return;
    const double ms = std::chrono::duration<double, std::milli>(m.received - g_start).count();
    std::printf("player: %s ms=%.1f\n", PlayerMessageText(CheckPlayerMessage(m.bytes.data(), n)).c_str(), ms);
    std::fflush(stdout);
}

} // namespace

int RunDevice(const std::vector<std::string> &args)
{
    loopback::DeviceOptions options;
    bool ica = false;
    std::vector<std::string> rest;
    std::string error;
    if (!loopback::ParseDeviceOptions(args, &options, &ica, &rest, &error) || !rest.empty()) {
        std::fprintf(stderr, "pyxclient: %s\n", error.empty() ? ("unknown option " + rest.front()).c_str() : error.c_str());
        return 2;
    }
    loopback::ClientDevice device(ica);
    device.m_log = [](const std::string &line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    if (!device.Start(&error)) {
        std::fprintf(stderr, "pyxclient: %s\n", error.c_str());
        return 1;
    }
    std::printf("pyxclient: listening (%s)\n", ica ? "ica" : "rdp");
    std::fflush(stdout);
    const loopback::DeviceSummary summary = device.Session(options);
    device.Stop();
    return summary.ok ? 0 : 1;
}

int RunPlayer(const std::vector<std::string> &args)
{
    loopback::PlayerOptions options;
    bool ica = false;
    std::string error;
    if (!loopback::ParsePlayerOptions(args, &options, &ica, &error)) {
        std::fprintf(stderr, "pyxclient: %s\n", error.c_str());
        return 2;
    }
    loopback::ClientDevice device(ica);
    if (!device.Start(&error)) {
        std::fprintf(stderr, "pyxclient: %s\n", error.c_str());
        return 1;
    }
    const auto print = [](const std::string &line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    device.m_log = print;   // the roam's lines
    loopback::CClientPlayer player(device, options);
    player.m_log = print;
    std::printf("pyxclient: listening (%s, player)\n", ica ? "ica" : "rdp");
    std::fflush(stdout);
    const loopback::PlayerSummary summary = player.Run();
    device.Stop();
    return summary.Ok() ? 0 : 1;
}

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string &a : args) {
        if (a == "--player")
            return RunPlayer(args);
    }
    for (const std::string &a : args) {
        if (a == "--file")
            return RunDevice(args);
    }
    bool ica = false;
    int seconds = 30;
    std::vector<std::pair<std::string, std::vector<unsigned char>>> sends;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--protocol") && i + 1 < argc)
            ica = !std::strcmp(argv[++i], "ica");
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--send") && i + 2 < argc) {
            sends.emplace_back(argv[i + 1], FromHex(argv[i + 2]));
            i += 2;
        } else {
            std::fprintf(stderr, "usage: pyxclient [--protocol rdp|ica] [--seconds N] [--send CHANNEL HEX]...\n");
            return 2;
        }
    }

    std::vector<std::unique_ptr<ChannelServer>> channels;
    if (ica) {
        channels.push_back(std::make_unique<ChannelServer>(kIcaChannelName, 12));
    } else {
        channels.push_back(std::make_unique<ChannelServer>(kRdpControlChannelName, 1));
        channels.push_back(std::make_unique<ChannelServer>(kRdpPlayerChannelName, 2));
        for (int n = 0; n < kDataChannelCount; ++n) {
            char name[8];
            RdpDataChannelName(n, name, sizeof name);
            channels.push_back(std::make_unique<ChannelServer>(name, 1));
        }
    }
    for (auto &c : channels) {
        if (!c->Start()) {
            std::fprintf(stderr, "pyxclient: cannot listen on %s (%lu)\n", c->Channel().c_str(), GetLastError());
            return 1;
        }
    }
    std::printf("pyxclient: listening (%s)\n", ica ? "ica" : "rdp");
    std::fflush(stdout);

    std::vector<std::thread> printers;
    std::atomic<bool> stop{false};
    for (auto &c : channels) {
        ChannelServer *server = c.get();
        printers.emplace_back([server, &stop] {
            ReceivedMessage m;
            while (!stop) {
                if (server->Receive(&m, 100)) {
                    PrintMessage(m);
                    PrintPlayerLine(m);
                }
            }
        });
    }
    for (auto &s : sends) {
        for (auto &c : channels) {
            if (c->Channel() == s.first && c->WaitConnected(1, 10000))
                c->Send(s.second.data(), static_cast<uint32_t>(s.second.size()));
        }
    }
    Sleep(static_cast<DWORD>(seconds) * 1000);
    stop = true;
    for (auto &t : printers)
        t.join();
    uint32_t errors = 0;
    for (auto &c : channels)
        errors += c->ChunkErrors();
    std::printf("pyxclient: chunk errors %u\n", errors);
    return 0;
}
