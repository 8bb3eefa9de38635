// The control thread in a test host, with the loopback platform as the
// client device: the session wait, the solicitation, SEND, OPEN, CLOS, FCLO,
// ICA routing, and how the thread ends.
#include "doctest.h"

#include "server_test_util.h"

#include "control_host.h"
#include "installation_guard.h"
#include "file_rpc.h"
#include "file_rpc_process.h"
#include "protocol.h"
#include "server_globals.h"
#include "settings.h"
#include "trace.h"
#include "vc_server.h"
#include "win_test_util.h"

#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using loopback::ChannelServer;
using loopback::ReceivedMessage;
using wintest::RegText;
using wintest::WaitUntil;

namespace {

using wintest::PatternByte;
using wintest::TempFile;


std::mutex g_traceLock;
std::wstring g_trace;
void RecordTrace(const wchar_t *text)
{
    std::lock_guard<std::mutex> hold(g_traceLock);
    g_trace += text;
}
bool Traced(const std::wstring &part)
{
    std::lock_guard<std::mutex> hold(g_traceLock);
    return g_trace.find(part) != std::wstring::npos;
}
size_t TraceCount(const std::wstring &part)
{
    std::lock_guard<std::mutex> hold(g_traceLock);
    size_t count = 0;
    for (size_t at = g_trace.find(part); at != std::wstring::npos; at = g_trace.find(part, at + 1))
        ++count;
    return count;
}

std::vector<unsigned char> Message(uint32_t type, uint32_t dataSize, uint32_t psn, int32_t channel)
{
    std::vector<unsigned char> m(32 + dataSize);
    MessageHeader h{};
    h.dwMessageType = type;
    h.dwMessageDataSize = dataSize;
    h.dwPSN = psn;
    h.dwChannelNumber = channel;
    StoreHeader(m.data(), h);
    return m;
}

std::vector<unsigned char> Words(uint32_t type, std::initializer_list<uint32_t> words, uint32_t psn, int32_t channel)
{
    auto m = Message(type, static_cast<uint32_t>(4 * words.size()), psn, channel);
    size_t at = 32;
    for (uint32_t w : words) {
        StoreLE32(m.data() + at, w);
        at += 4;
    }
    return m;
}

std::vector<unsigned char> SendParamsMessage(uint32_t policy, uint32_t chunking, uint32_t readCap = 0, uint32_t rate = 0)
{
    auto m = Message(PYXMSG_SEND_PARAMS, kSendParamsSize - 32, 1, CHANNEL_CONTROL);
    StoreLE32(m.data() + 32, policy);
    StoreLE32(m.data() + 48, readCap);
    StoreLE32(m.data() + 52, rate);
    StoreLE32(m.data() + 56, chunking);
    return m;
}

std::vector<unsigned char> OpenMessage(const std::wstring &name, uint32_t psn)
{
    auto m = Message(PYXMSG_RPC_OPEN, kOpenRequestSize - 32, psn, CHANNEL_CONTROL);
    for (size_t i = 0; i < name.size() && i < kNameUnits - 1; ++i)
        StoreLE16(m.data() + 32 + 2 * i, static_cast<uint16_t>(name[i]));
    return m;
}

int32_t Word(const ReceivedMessage &m, size_t at) { return LoadLE32s(m.bytes.data() + at); }

// The client device's side of a session.
struct Client
{
    bool ica;
    std::unique_ptr<ChannelServer> control, player;
    std::vector<std::unique_ptr<ChannelServer>> data;

    explicit Client(bool isIca) : ica(isIca)
    {
        if (ica) {
            control = std::make_unique<ChannelServer>(kIcaChannelName, 4);
        } else {
            control = std::make_unique<ChannelServer>(kRdpControlChannelName, 1);
            player = std::make_unique<ChannelServer>(kRdpPlayerChannelName, 1);
            REQUIRE(player->Start());
            for (int i = 0; i < kDataChannelCount; ++i) {
                char name[8];
                RdpDataChannelName(i, name, sizeof name);
                data.push_back(std::make_unique<ChannelServer>(name, 1));
                REQUIRE(data.back()->Start());
            }
        }
        REQUIRE(control->Start());
    }

    ChannelServer &Data(int slot) { return ica ? *control : *data[slot]; }

    // Waits for the solicitation (RDP on the player channel).
    void ExpectSolicitation()
    {
        ReceivedMessage m;
        REQUIRE((ica ? *control : *player).Receive(&m, 10000));
        REQUIRE(m.bytes.size() == kSolicitationSize);
        const MessageHeader h = LoadHeader(m.bytes.data());
        CHECK(h.dwMessageType == PYXMSG_SEND_PARAMS);
        CHECK(h.dwMessageDataSize == 4);
        CHECK(h.dwChannelNumber == -2);
        CHECK(h.dwPSN <= 32767);
    }

    bool SendControl(const std::vector<unsigned char> &m)
    {
        return control->Send(m.data(), static_cast<uint32_t>(m.size()));
    }

    bool Reply(ChannelServer &on, ReceivedMessage *m, DWORD ms = 8000) { return on.Receive(m, ms); }

    // SEND, answered with payload 0.
    void Parameters(uint32_t policy, uint32_t chunking)
    {
        REQUIRE(SendControl(SendParamsMessage(policy, chunking)));
        ReceivedMessage m;
        REQUIRE(Reply(*control, &m));
        CHECK(m.bytes.size() == 36);
        CHECK(LoadHeader(m.bytes.data()).dwMessageType == PYXMSG_SEND_PARAMS);
        CHECK(Word(m, 32) == 0);
        CHECK(MessageChannel(m.bytes.data()) == CHANNEL_CONTROL);
    }

    // OPEN: returns the reply's (file_desc, channel).
    std::pair<int32_t, int32_t> Open(const std::wstring &name, uint32_t psn, int32_t *systemError = nullptr)
    {
        REQUIRE(SendControl(OpenMessage(name, psn)));
        ReceivedMessage m;
        REQUIRE(Reply(*control, &m));
        REQUIRE(m.bytes.size() == kOpenReplySize);
        CHECK(LoadHeader(m.bytes.data()).dwPSN == psn);
        if (systemError)
            *systemError = Word(m, 44);
        return {Word(m, 32), Word(m, 36)};
    }

    ReceivedMessage Call(int slot, const std::vector<unsigned char> &request)
    {
        ChannelServer &on = Data(slot);
        REQUIRE(on.WaitConnected(1, 5000));   // the pipe connects a moment after the OPEN reply
        REQUIRE(on.Send(request.data(), static_cast<uint32_t>(request.size())));
        ReceivedMessage m;
        REQUIRE(Reply(on, &m));
        CHECK(LoadHeader(m.bytes.data()).dwPSN == LoadHeader(request.data()).dwPSN);
        return m;
    }

    // Reads the whole file with READs of `count`, checking every byte.
    uint32_t ReadAll(int slot, int32_t fd, uint32_t count, uint32_t size, uint32_t *chunked = nullptr)
    {
        uint32_t offset = 0;
        for (uint32_t psn = 100; offset < size; ++psn) {
            const int32_t channel = ica ? slot : 0;
            ReceivedMessage m = Call(slot, Words(PYXMSG_RPC_READ, {static_cast<uint32_t>(fd), count, 0xFFFFFFFFu}, psn, channel));
            const int32_t got = Word(m, 32);
            REQUIRE(got > 0);
            REQUIRE(m.bytes.size() == 36u + got);
            for (int32_t i = 0; i < got; ++i)
                REQUIRE(m.bytes[36 + i] == PatternByte(offset + i));
            if (chunked && m.chunks)
                ++*chunked;
            offset += got;
        }
        return offset;
    }

    int32_t Close(int32_t fd, uint32_t psn, uint32_t code = PYXMSG_RPC_CLOSE)
    {
        REQUIRE(SendControl(Words(code, {static_cast<uint32_t>(fd)}, psn, CHANNEL_CONTROL)));
        ReceivedMessage m;
        REQUIRE(Reply(*control, &m));
        CHECK(LoadHeader(m.bytes.data()).dwMessageType == code);
        return Word(m, 32);
    }
};

struct Fixture
{
    wintest::BoxWatcher boxes;
    Fixture()
    {
        REQUIRE(InitServerGlobals());
        g_trace.clear();
        SetTraceHook(RecordTrace);
        g_dwChunking = 1;
    }
    ~Fixture()
    {
        SetTraceHook(nullptr);
        UsePlatformSessionOps();
        g_dwChunking = 1;
        g_dwMaxBlockKB = 0;
        g_dwTargetRate = 0;
    }
};

HANDLE OpenReadyEvent() { return OpenEventW(SYNCHRONIZE, FALSE, kServerReadyEventName); }

} // namespace

TEST_CASE_FIXTURE(Fixture, "RDP session: parameters, open, read, close, and chunking turned off")
{
    UseRdpSessionOps();
    Client client(false);
    CControlHost host;
    REQUIRE(host.Start());
    client.ExpectSolicitation();
    HANDLE ready = OpenReadyEvent();
    REQUIRE(ready);
    CHECK(WaitForSingleObject(ready, 0) == WAIT_OBJECT_0);

    // With chunking on, a 20000-byte reply on a data channel comes in chunks.
    client.Parameters(0x00000003, 1);
    TempFile file(200000);
    auto [fd, slot] = client.Open(file.Path(), 7);
    REQUIRE(fd >= 0);
    CHECK(slot == 0);
    ReceivedMessage m = client.Call(0, Words(PYXMSG_RPC_READ, {static_cast<uint32_t>(fd), 20000, 0xFFFFFFFFu}, 8, 0));
    CHECK(m.chunks == 13);

    // dwChunking 0 turns chunking off for every later write of every channel.
    client.Parameters(0x00000003, 0);
    CHECK(g_dwChunking == 0);
    m = client.Call(0, Words(PYXMSG_RPC_READ, {static_cast<uint32_t>(fd), 20000, 0}, 9, 0));
    CHECK(m.chunks == 0);
    CHECK(Word(client.Call(0, Words(PYXMSG_RPC_SEEK, {static_cast<uint32_t>(fd), 0, 0}, 10, 0)), 32) == 0);
    CHECK(client.ReadAll(0, fd, 65536, 200000) == 200000);

    // CLOS answers only once the worker stopped and the slot is free.
    CHECK(client.Close(fd, 10) == 0);
    CHECK(SlotsFree());
    CHECK(Traced(L"PyxFileThread terminated."));

    // Ten OPENs of a missing file: every slot stays free.
    for (uint32_t i = 0; i < 10; ++i) {
        int32_t error = 0;
        auto [missingFd, missingSlot] = client.Open(L"C:\\no\\such\\clip.avi", 20 + i, &error);
        CHECK(missingFd == -1);
        CHECK(missingSlot == 0);
        CHECK(error == ENOENT);
    }
    // The failed object goes just after its reply.
    CHECK(WaitUntil([] { return SlotsFree(); }, 2000));
    auto again = client.Open(file.Path(), 40);
    CHECK(again.second == 0);

    // The exit event ends the thread quietly, files open or not.
    REQUIRE(host.Stop());
    CHECK(SlotsFree());
    CHECK_FALSE(host.StopCommandReceived());
    CHECK(boxes.Texts().empty());
    CHECK(WaitForSingleObject(ready, 0) == WAIT_TIMEOUT);
    CloseHandle(ready);
    CHECK(Traced(L"-[PyxServer]\r\n"));
}

TEST_CASE_FIXTURE(Fixture, "RDP session: FDOP streams closed with FCLO, and the client's policy")
{
    UseRdpSessionOps();
    Client client(false);
    CControlHost host;
    REQUIRE(host.Start());
    client.ExpectSolicitation();
    client.Parameters(0x00000000, 1);
    TempFile file(5000);
    auto [fd, slot] = client.Open(file.Path(), 2);
    REQUIRE(fd >= 0);
    ReceivedMessage m = client.Call(slot, Words(PYXMSG_RPC_FDOPEN, {static_cast<uint32_t>(fd)}, 3, 0));
    const uint32_t stream = static_cast<uint32_t>(Word(m, 32));
    REQUIRE(stream != 0);
    m = client.Call(slot, Words(PYXMSG_RPC_FREAD, {stream, 1, 100}, 4, 0));
    CHECK(Word(m, 32) == 100);
    CHECK(m.bytes[36 + 99] == PatternByte(99));
    CHECK(client.Close(static_cast<int32_t>(stream), 5, PYXMSG_RPC_FCLOSE) == 0);
    CHECK(SlotsFree());

    // A policy without bit 31 changes nothing; with it the boxes are set and locked.
    wintest::InstallationValues installation;
    const HWND dlg = host.Dialog();
    client.Parameters(0x00000003, 1);
    CHECK(IsWindowEnabled(GetDlgItem(dlg, IDC_STARTUP)));
    client.Parameters(0x80000003, 1);
    CHECK(WaitUntil([&] { return !IsWindowEnabled(GetDlgItem(dlg, IDC_STARTUP)); }, 3000));
    for (const ExtensionRow &row : kExtensionTable) {
        CAPTURE(row.nBoxId);
        CHECK_FALSE(IsWindowEnabled(GetDlgItem(dlg, row.nBoxId)));
        CHECK((IsDlgButtonChecked(dlg, row.nBoxId) == BST_CHECKED) == (row.nBoxId == IDC_EXT_AVI));
        CHECK(RegText(HKEY_CLASSES_ROOT, reinterpret_cast<const wchar_t *>(row.pszExtension)) ==
              (row.nBoxId == IDC_EXT_AVI ? L"TarselFile" : reinterpret_cast<const wchar_t *>(row.pszStockType)));
    }
    CHECK(RegText(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"PYX") ==
          L"\"C:\\Program Files\\Tarsel Test\\PyxVideoServer.exe\"");
    CHECK(RegText(HKEY_CLASSES_ROOT, L"TarselFile\\shell\\play\\command") ==
          L"\"C:\\Program Files\\Tarsel Test\\PyxUserInterface.exe\" \"%1\"");
    REQUIRE(host.Stop());
}

TEST_CASE_FIXTURE(Fixture, "ICA session: routing through the hand-off, chunking kept on")
{
    REQUIRE(wintest::EnsureService(L"HalvernService"));
    Client client(true);
    CControlHost host;
    REQUIRE(host.Start());
    client.ExpectSolicitation();
    client.Parameters(0x00000000, 0);
    CHECK(g_dwChunking == 1);

    TempFile a(90000), b(130000);
    auto [fdA, slotA] = client.Open(a.Path(), 2);
    auto [fdB, slotB] = client.Open(b.Path(), 3);
    REQUIRE(fdA >= 0);
    REQUIRE(fdB >= 0);
    CHECK(slotA == 0);
    CHECK(slotB == 1);
    uint32_t chunked = 0;
    CHECK(client.ReadAll(slotA, fdA, 30000, 90000, &chunked) == 90000);
    CHECK(client.ReadAll(slotB, fdB, 65536, 130000, &chunked) == 130000);
    CHECK(chunked >= 5);

    ReceivedMessage m = client.Call(slotB, Words(PYXMSG_RPC_SEEK, {static_cast<uint32_t>(fdB), 0, 2}, 11, slotB));
    CHECK(Word(m, 32) == 130000);
    CHECK(client.Close(fdA, 12) == 0);
    REQUIRE(host.Stop());
    CHECK(SlotsFree());
    CHECK(boxes.Texts().empty());
    wintest::RemoveService(L"HalvernService");
}

TEST_CASE_FIXTURE(Fixture, "without a remote session the thread re-checks every 500 ms until told to end")
{
    wintest::RemoveService(L"HalvernService");
    CControlHost host;
    REQUIRE(host.Start());
    HANDLE ready = nullptr;
    REQUIRE(WaitUntil([&] { return (ready = OpenReadyEvent()) != nullptr; }, 3000));
    CHECK(WaitUntil([&] { return WaitForSingleObject(ready, 0) == WAIT_OBJECT_0; }, 3000));
    Sleep(1600);
    const size_t checks = TraceCount(L"GetSystemMetrics(SM_REMOTESESSION) ==0");
    CHECK(checks >= 3);
    CHECK(checks <= 5);
    REQUIRE(host.Stop(2000));
    CHECK(boxes.Texts().empty());
    CHECK_FALSE(host.StopCommandReceived());
    CloseHandle(ready);
}

TEST_CASE_FIXTURE(Fixture, "a broken control channel does not end the thread; an unasked ending says so")
{
    UseRdpSessionOps();
    {
        Client client(false);
        CControlHost host;
        REQUIRE(host.Start());
        client.ExpectSolicitation();
        client.Parameters(0, 1);
        client.control->Stop();
        CHECK_FALSE(host.WaitEnded(1500));
        REQUIRE(host.Stop());
        CHECK_FALSE(host.StopCommandReceived());
        CHECK(boxes.Texts().empty());
    }
    // No client listens on the control channel: the thread cannot serve.
    CControlHost host;
    REQUIRE(host.Start());
    CHECK(boxes.WaitFor(L"Server thread terminated. Please restart the application.", 8000));
    CHECK(host.WaitEnded(5000));
    CHECK(WaitUntil([&] { return host.StopCommandReceived(); }, 3000));
    CHECK(Traced(L"PyxControlThread WTSVirtualChannelOpen fails 0x"));
}
