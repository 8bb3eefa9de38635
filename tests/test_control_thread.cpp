// The control thread in a test host, with the loopback platform as the
// client device: the session wait, the solicitation, SEND, OPEN, CLOS, FCLO
// on RDP, and how the thread ends.
#include "doctest.h"

#include "server_test_util.h"

#include "control_host.h"
#include "installation_guard.h"
#include "file_rpc_win.h"
#include "protocol.h"
#include "ica_share_win.h"
#include "settings.h"
#include "trace.h"
#include "vc_server.h"
#include "win_test_util.h"

#include <memory>
#include <string>
#include <vector>

using loopback::ChannelServer;
using loopback::ReceivedMessage;
using wintest::RegText;
using wintest::WaitUntil;

namespace {

using wintest::PatternByte;
using wintest::TempFile;

int32_t Word(const ReceivedMessage &m, size_t at) { return LoadLE32s(m.bytes.data() + at); }

// The client device's side of an RDP session.
struct Client
{
    std::unique_ptr<ChannelServer> control, player;
    std::vector<std::unique_ptr<ChannelServer>> data;

    Client()
    {
        control = std::make_unique<ChannelServer>(kRdpControlChannelName, 1);
        player = std::make_unique<ChannelServer>(kRdpPlayerChannelName, 1);
        REQUIRE(player->Start());
        for (int i = 0; i < kDataChannelCount; ++i) {
            char name[8];
            RdpDataChannelName(i, name, sizeof name);
            data.push_back(std::make_unique<ChannelServer>(name, 1));
            REQUIRE(data.back()->Start());
        }
        REQUIRE(control->Start());
    }

    // Waits for the solicitation on the player channel.
    void ExpectSolicitation()
    {
        ReceivedMessage m;
        REQUIRE(player->Receive(&m, 10000));
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
        REQUIRE(SendControl(BuildSendParams(policy, 0, 0, chunking, 1)));
        ReceivedMessage m;
        REQUIRE(Reply(*control, &m));
        CHECK(m.bytes.size() == 36);
        CHECK(LoadHeader(m.bytes.data()).dwMessageType == PYXMSG_SEND_PARAMS);
        CHECK(Word(m, 32) == 0);
        CHECK(MessageChannel(m.bytes.data()) == CHANNEL_CONTROL);
    }

    // OPEN: returns the reply's (file_desc, channel).
    std::pair<int32_t, int32_t> Open(const std::wstring &name, uint32_t psn)
    {
        REQUIRE(SendControl(BuildOpenRequest(name, psn)));
        ReceivedMessage m;
        REQUIRE(Reply(*control, &m));
        REQUIRE(m.bytes.size() == kOpenReplySize);
        CHECK(LoadHeader(m.bytes.data()).dwPSN == psn);
        return {Word(m, 32), Word(m, 36)};
    }

    ReceivedMessage Call(int slot, const std::vector<unsigned char> &request)
    {
        ChannelServer &on = *data[slot];
        REQUIRE(on.WaitConnected(1, 5000));   // the pipe connects a moment after the OPEN reply
        REQUIRE(on.Send(request.data(), static_cast<uint32_t>(request.size())));
        ReceivedMessage m;
        REQUIRE(Reply(on, &m));
        CHECK(LoadHeader(m.bytes.data()).dwPSN == LoadHeader(request.data()).dwPSN);
        return m;
    }

    // Reads the whole file with READs of `count`, checking every byte.
    uint32_t ReadAll(int slot, int32_t fd, uint32_t count, uint32_t size)
    {
        uint32_t offset = 0;
        for (uint32_t psn = 100; offset < size; ++psn) {
            ReceivedMessage m = Call(slot, BuildWordsRequest(PYXMSG_RPC_READ, {uint32_t(fd), count, 0xFFFFFFFFu}, psn, 0));
            const int32_t got = Word(m, 32);
            REQUIRE(got > 0);
            REQUIRE(m.bytes.size() == 36u + got);
            for (int32_t i = 0; i < got; ++i)
                REQUIRE(m.bytes[36 + i] == PatternByte(offset + i));
            offset += got;
        }
        return offset;
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
    }
    ~Fixture()
    {
        SetTraceHook(nullptr);
        UsePlatformSessionOps();
    }
};

HANDLE OpenReadyEvent() { return OpenEventW(SYNCHRONIZE, FALSE, kServerReadyEventName); }

} // namespace

TEST_CASE_FIXTURE(Fixture, "RDP session: parameters, open, read, chunking turned off, and the end with a file open")
{
    UseRdpSessionOps();
    Client client;
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
    ReceivedMessage m = client.Call(0, BuildWordsRequest(PYXMSG_RPC_READ, {static_cast<uint32_t>(fd), 20000, 0xFFFFFFFFu}, 8, 0));
    CHECK(m.chunks == 13);

    // dwChunking 0 turns chunking off for every later write of every channel.
    client.Parameters(0x00000003, 0);
    m = client.Call(0, BuildWordsRequest(PYXMSG_RPC_READ, {static_cast<uint32_t>(fd), 20000, 0}, 9, 0));
    CHECK(m.chunks == 0);
    CHECK(Word(client.Call(0, BuildWordsRequest(PYXMSG_RPC_SEEK, {static_cast<uint32_t>(fd), 0, 0}, 10, 0)), 32) == 0);
    CHECK(client.ReadAll(0, fd, 65536, 200000) == 200000);

    // The exit event ends the thread quietly, with the file's worker.
    REQUIRE(host.Stop());
    CHECK(SlotsFree());
    CHECK(Traced(L"PyxFileThread terminated."));
    CHECK_FALSE(host.StopCommandReceived());
    CHECK(boxes.Texts().empty());
    CHECK(WaitForSingleObject(ready, 0) == WAIT_TIMEOUT);
    CloseHandle(ready);
    CHECK(Traced(L"-[PyxServer]\r\n"));
}

TEST_CASE_FIXTURE(Fixture, "RDP session: the client's policy sets and locks the settings boxes")
{
    UseRdpSessionOps();
    Client client;
    CControlHost host;
    REQUIRE(host.Start());
    client.ExpectSolicitation();
    wintest::InstallationValues installation;
    const HWND dlg = host.Dialog();
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
        Client client;
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
