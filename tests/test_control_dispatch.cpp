// The control channel's dispatch over recording operations: the checks of
// SEND, OPEN, CLOS and FCLO against the bytes received, their replies, the
// open's deadline and exit, claim-and-close, and the ICA hand-off. Then the
// file objects' table and teardown with workers on threads of their own.
#include "doctest.h"

#include "channel_io.h"
#include "control_dispatch.h"
#include "file_object.h"
#include "file_source.h"
#include "protocol.h"
#include "trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring g_trace;
void RecordTrace(const wchar_t *text) { g_trace += text; }
bool Traced(const wchar_t *part) { return g_trace.find(part) != std::wstring::npos; }

std::vector<unsigned char> Words(uint32_t type, std::initializer_list<uint32_t> words, uint32_t psn,
                                 int32_t channel = CHANNEL_CONTROL, uint32_t size = 0)
{
    std::vector<unsigned char> m(std::max<size_t>(size, kHeaderSize + 4 * words.size()));
    StoreHeader(m.data(), MessageHeader{type, static_cast<uint32_t>(m.size()) - kHeaderSize, psn, channel, 0, 0, 0, 0});
    size_t at = kHeaderSize;
    for (uint32_t w : words) {
        StoreLE32(m.data() + at, w);
        at += 4;
    }
    return m;
}

// The first n bytes of m, declaring just those: complete, but short of fields.
std::vector<unsigned char> Shortened(std::vector<unsigned char> m, uint32_t n)
{
    m.resize(n);
    StoreLE32(m.data() + hdr::kDataSize, n - kHeaderSize);
    return m;
}

std::vector<unsigned char> SendParamsMessage(uint32_t policy, uint32_t chunking, uint32_t readCap, uint32_t rate)
{
    return Words(PYXMSG_SEND_PARAMS, {policy, 0, 0, 0, readCap, rate, chunking}, 3);
}

std::vector<unsigned char> OpenMessage(const std::u16string &name, uint32_t psn = 4)
{
    auto m = Words(PYXMSG_RPC_OPEN, {}, psn, CHANNEL_CONTROL, kOpenRequestSize);
    for (size_t i = 0; i < name.size(); ++i)
        StoreLE16(m.data() + kOpenNameOffset + 2 * i, name[i]);
    return m;
}

class FakeFile final : public CFileRpcRequests
{
public:
    unsigned char *GetMessageBuffer() override { return nullptr; }
    uint32_t GetMessageLength() override { return 0; }
    bool ChannelWrite(void *, uint32_t, uint32_t *) override { return false; }
};

// A scripted open: the outcome its wait gives, and what it reports.
class FakeOpen final : public CPendingOpen
{
public:
    Outcome outcome = Outcome::Done;
    bool opened = true;
    FileOpenOutcome result;
    std::vector<uint64_t> deadlines;

    Outcome Wait(uint64_t deadline) override
    {
        deadlines.push_back(deadline);
        return outcome;
    }
    bool Opened() const override { return opened; }
    FileOpenOutcome Result() const override { return result; }
};

// Every operation set, recording what the dispatch asks of it. Objects
// stay alive (owned here) so that what happened to each can be checked.
class Platform final : public CControlChannelOps, public CControlFileOps, public CIcaRoutingOps
{
public:
    std::vector<std::vector<unsigned char>> replies;
    bool failWrites = false;
    std::vector<uint32_t> chunking, policies;

    std::vector<std::unique_ptr<FakeFile>> files;
    bool failCreate = false;
    bool claimNew = false;   // a new object is in the table once its open returns
    std::shared_ptr<FakeOpen> open = std::make_shared<FakeOpen>();
    bool noThread = false;
    std::u16string openedName;
    std::vector<FakeFile *> claimable;   // in the table and not claimed
    std::map<const CFileRpcRequests *, int> closes, discards;
    int closeResult = 0;

    std::map<int, Worker> workers;
    std::vector<int> woken;
    uint64_t now = 1000;
    bool exitSet = false;
    // The workers' side during WaitPassed(ms): the milliseconds it took.
    std::function<uint32_t(uint32_t)> onWait;

    bool WriteReply(void *message, uint32_t length) override
    {
        const auto *b = static_cast<const unsigned char *>(message);
        replies.emplace_back(b, b + length);
        return !failWrites;
    }
    void SetChunking(uint32_t flag) override { chunking.push_back(flag); }
    void ApplyClientPolicy(uint32_t policy) override { policies.push_back(policy); }

    CFileRpcRequests *CreateFileObject() override
    {
        if (failCreate)
            return nullptr;
        files.push_back(std::make_unique<FakeFile>());
        if (claimNew)
            claimable.push_back(files.back().get());
        return files.back().get();
    }
    std::shared_ptr<CPendingOpen> StartOpen(CFileRpcRequests *, const WireChar *name, int32_t *systemError) override
    {
        openedName = name;
        if (noThread) {
            *systemError = 8;
            return nullptr;
        }
        return open;
    }
    FakeFile *Served(int32_t fd, uint32_t stream)
    {
        files.push_back(std::make_unique<FakeFile>());
        files.back()->m_dwFileDescriptor = fd;
        files.back()->m_dwFilePointer = stream;
        claimable.push_back(files.back().get());
        return files.back().get();
    }
    template <class Match> CFileRpcRequests *ClaimIf(Match match)
    {
        const auto it = std::find_if(claimable.begin(), claimable.end(), match);
        if (it == claimable.end())
            return nullptr;
        FakeFile *file = *it;
        claimable.erase(it);
        return file;
    }
    CFileRpcRequests *ClaimByDescriptor(int fd) override
    {
        return ClaimIf([fd](FakeFile *f) { return f->m_dwFileDescriptor == fd; });
    }
    CFileRpcRequests *ClaimByStream(uint32_t stream) override
    {
        return ClaimIf([stream](FakeFile *f) { return f->m_dwFilePointer == stream; });
    }
    bool Claim(CFileRpcRequests *file) override { return ClaimIf([file](FakeFile *f) { return f == file; }); }
    int CloseClaimed(CFileRpcRequests *file) override
    {
        ++closes[file];
        return closeResult;
    }
    void Discard(CFileRpcRequests *file) override { ++discards[file]; }

    Worker WorkerOf(int channel) override { return workers.count(channel) ? workers[channel] : Worker::None; }
    bool PrepareWake(int) override { return true; }
    void Wake(int channel) override { woken.push_back(channel); }
    void WaitPassed(uint32_t ms) override
    {
        now += onWait ? onWait(ms) : ms;
    }
    uint64_t Now() override { return now; }
    bool IsExitSet() override { return exitSet; }
};

struct Fixture
{
    Platform p;
    CIcaBufferHandoff handoff;
    std::atomic<uint32_t> length{0};
    std::vector<unsigned char> buffer = std::vector<unsigned char>(kMessageBufferSize);

    Fixture()
    {
        g_trace.clear();
        SetTraceHook(RecordTrace);
    }
    ~Fixture()
    {
        SetTraceHook(nullptr);
        g_dwChunking = 1;
        g_dwMaxBlockKB = 0;
        g_dwTargetRate = 0;
    }

    // The message as read: its first `received` bytes (all by default).
    bool Receive(const std::vector<unsigned char> &m, bool ica = false, uint32_t received = 0, uint64_t arrived = 5000)
    {
        const uint32_t n = received ? received : static_cast<uint32_t>(m.size());
        std::fill(buffer.begin(), buffer.end(), 0xEE);   // what lies beyond the bytes received
        std::copy(m.begin(), m.begin() + std::min<size_t>(n, m.size()), buffer.begin());
        CControlDispatch dispatch(ica, buffer.data(), p, p, p, handoff, length);
        return dispatch.OnReceived(n, arrived);
    }
    int32_t ReplyWord(size_t at) const { return LoadLE32s(p.replies.back().data() + at); }
};

} // namespace

TEST_CASE_FIXTURE(Fixture, "SEND: checked, its parameters taken, answered with 0")
{
    // One byte short of its fields: dropped, nothing changed or answered.
    const auto send = SendParamsMessage(kPolicyApply | 3, 0, 64, 500);
    CHECK(Receive(Shortened(send, kSendParamsSize - 1)));
    CHECK(Traced(L"PYXMSG_SEND_PARAMS of 59 bytes is too short, dropped"));
    CHECK(p.replies.empty());
    CHECK(p.policies.empty());
    CHECK(g_dwMaxBlockKB == 0);

    SUBCASE("RDP takes the client's chunking; a policy with bit 31 is applied")
    {
        CHECK(Receive(send));
        CHECK(g_dwMaxBlockKB == 64);
        CHECK(g_dwTargetRate == 500);
        CHECK(g_dwChunking == 0);
        CHECK(p.chunking == std::vector<uint32_t>{0});
        CHECK(p.policies == std::vector<uint32_t>{kPolicyApply | 3});
        REQUIRE(p.replies.size() == 1);
        CHECK(p.replies[0].size() == kIntMessageSize);
        const MessageHeader h = LoadHeader(p.replies[0].data());
        CHECK(h.dwMessageType == PYXMSG_SEND_PARAMS);
        CHECK(h.dwPSN == 3);
        CHECK(h.dwChannelNumber == CHANNEL_CONTROL);
        CHECK(ReplyWord(32) == 0);
    }
    SUBCASE("ICA keeps chunking on; a policy without bit 31 changes nothing")
    {
        CHECK(Receive(SendParamsMessage(3, 0, 0, 0), true));
        CHECK(g_dwChunking == 1);
        CHECK(p.chunking == std::vector<uint32_t>{1});
        CHECK(p.policies.empty());
        CHECK(p.replies.size() == 1);
    }
    SUBCASE("a reply that cannot be written ends the thread")
    {
        p.failWrites = true;
        CHECK_FALSE(Receive(send));
        CHECK(Traced(L"PYXMSG_SEND_PARAMS ERRROR ChannelWrite"));
    }
}

TEST_CASE_FIXTURE(Fixture, "OPEN: the open's outcome, its deadline, the exit, and who disposes of the object")
{
    // A name cut off by the end of the message: dropped before any object.
    auto cut = OpenMessage(u"C:\\clip.avi");
    std::fill(cut.begin() + kOpenNameOffset, cut.end(), 'x');
    CHECK(Receive(Shortened(cut, 300)));
    CHECK(Traced(L"the file name is cut off by the end of the 300-byte message, dropped"));
    CHECK(p.files.empty());
    CHECK(p.replies.empty());

    p.open->result = FileOpenOutcome{7, 2, 0, 0};
    auto reply = [&]() {
        REQUIRE(p.replies.size() == 1);
        REQUIRE(p.replies[0].size() == kOpenReplySize);
        CHECK(LoadHeader(p.replies[0].data()).dwPSN == 4);
        return std::vector<int32_t>{ReplyWord(32), ReplyWord(36), ReplyWord(40), ReplyWord(44)};
    };
    SUBCASE("opened: the client learns its descriptor and channel; the object is its worker's")
    {
        CHECK(Receive(OpenMessage(u"C:\\media\\\u00e9t\u00e9.avi"), false, 0, 777));
        CHECK(p.openedName == u"C:\\media\\\u00e9t\u00e9.avi");
        CHECK(p.open->deadlines == std::vector<uint64_t>{777 + kOpenDeadlineMs});
        CHECK(reply() == std::vector<int32_t>{7, 2, 0, 0});
        CHECK(p.discards.empty());
        CHECK(Traced(L"-PYXMSG_RPC_OPEN"));
    }
    SUBCASE("failed: the reply tells why, then the object goes")
    {
        p.open->opened = false;
        p.open->result = FileOpenOutcome{-1, 0, ERR_CHANNEL_OPEN, 2};
        CHECK(Receive(OpenMessage(u"a")));
        CHECK(reply() == std::vector<int32_t>{-1, 0, ERR_CHANNEL_OPEN, 2});
        CHECK(p.discards[p.files[0].get()] == 1);
    }
    SUBCASE("no thread for the open: answered as failed with the system's error")
    {
        p.noThread = true;
        CHECK(Receive(OpenMessage(u"a")));
        CHECK(reply() == std::vector<int32_t>{-1, 0, ERR_CREATE_THREAD, 8});
        CHECK(p.discards[p.files[0].get()] == 1);
    }
    SUBCASE("past the deadline: answered with 12002; the object stays with the open's thread")
    {
        p.open->outcome = CPendingOpen::Outcome::TimedOut;
        CHECK(Receive(OpenMessage(u"a")));
        CHECK(reply() == std::vector<int32_t>{-1, 0, 0, kOpenTimedOutError});
        CHECK(p.discards.empty());
        CHECK(Traced(L"no outcome within 20000 ms; the open is given up"));
    }
    SUBCASE("the exit signal during the open: no reply, the object left to the open's thread")
    {
        p.open->outcome = CPendingOpen::Outcome::Exited;
        CHECK(Receive(OpenMessage(u"a")));
        CHECK(p.replies.empty());
        CHECK(p.discards.empty());
    }
    SUBCASE("no object can be made: the thread ends")
    {
        p.failCreate = true;
        CHECK_FALSE(Receive(OpenMessage(u"a")));
        CHECK(p.replies.empty());
    }
    SUBCASE("a reply that cannot be written: a served object goes only if it can still be claimed")
    {
        p.failWrites = true;
        CHECK_FALSE(Receive(OpenMessage(u"a")));   // its worker took it meanwhile
        CHECK(p.discards.empty());
        p.claimNew = true;
        CHECK_FALSE(Receive(OpenMessage(u"a")));
        CHECK(p.discards == std::map<const CFileRpcRequests *, int>{{p.files[1].get(), 1}});
        CHECK(p.claimable.empty());
        // A failed open is torn down without a claim.
        p.claimNew = false;
        p.open->opened = false;
        CHECK_FALSE(Receive(OpenMessage(u"a")));
        CHECK(p.discards[p.files[2].get()] == 1);
        CHECK(Traced(L"PYXMSG_RPC_OPEN ERRROR ChannelWrite"));
    }
}

TEST_CASE_FIXTURE(Fixture, "CLOS and FCLO: claimed by descriptor or stream, closed once, answered with the result")
{
    FakeFile *a = p.Served(5, 0x20);
    FakeFile *b = p.Served(6, 0x21);
    p.closeResult = 1;

    CHECK(Receive(Shortened(Words(PYXMSG_RPC_CLOSE, {5}, 9), 35)));
    CHECK(Traced(L"PYXMSG_RPC_CLOSE of 35 bytes is too short, dropped"));
    CHECK(Receive(Words(PYXMSG_RPC_CLOSE, {0x21}, 9)));   // a stream is no descriptor
    CHECK(Receive(Words(PYXMSG_RPC_FCLOSE, {6}, 9)));     // and the other way round
    CHECK(Traced(L"ChannelWrite: PYXMSG_RPC_CLOSE GetClassByFileDescriptor got 0"));
    CHECK(Traced(L"ChannelWrite: PYXMSG_RPC_FCLOSE GetClassByFileDescriptor got 0"));
    CHECK(p.replies.empty());
    CHECK(p.closes.empty());

    CHECK(Receive(Words(PYXMSG_RPC_CLOSE, {5}, 10)));
    CHECK(Receive(Words(PYXMSG_RPC_FCLOSE, {0x21}, 11)));
    // A second close of either finds nothing: each was closed exactly once.
    CHECK(Receive(Words(PYXMSG_RPC_CLOSE, {5}, 12)));
    CHECK(Receive(Words(PYXMSG_RPC_FCLOSE, {0x21}, 13)));
    CHECK(p.closes == std::map<const CFileRpcRequests *, int>{{a, 1}, {b, 1}});
    CHECK(p.discards.empty());
    REQUIRE(p.replies.size() == 2);
    for (size_t i = 0; i < 2; ++i) {
        const MessageHeader h = LoadHeader(p.replies[i].data());
        CHECK(p.replies[i].size() == kIntMessageSize);
        CHECK(h.dwMessageType == (i ? PYXMSG_RPC_FCLOSE : PYXMSG_RPC_CLOSE));
        CHECK(h.dwPSN == 10 + i);
        CHECK(h.dwChannelNumber == CHANNEL_CONTROL);
        CHECK(LoadLE32s(p.replies[i].data() + 32) == 1);
    }

    p.Served(7, 0);
    p.failWrites = true;
    CHECK_FALSE(Receive(Words(PYXMSG_RPC_CLOSE, {7}, 14)));
    CHECK(Traced(L"PYXMSG_RPC_CLOSE ERRROR ChannelWrite"));
}

TEST_CASE_FIXTURE(Fixture, "what is read goes to the dispatch, a worker, or nowhere")
{
    // Shorter than its header or than what it declares: nothing is done.
    CHECK(Receive(Words(PYXMSG_RPC_CLOSE, {5}, 1), false, 20));
    CHECK(Receive(Words(PYXMSG_RPC_OPEN, {}, 1, CHANNEL_CONTROL, 600), false, 100));
    CHECK(Receive(Words(0x21212121, {1}, 1)));
    CHECK(Traced(L"PyxControlThread ChannelRead got a short chunk of data... 20"));
    CHECK(Traced(L"PyxControlThread ChannelRead got a short chunk of data... 100"));
    CHECK(Traced(L" ********** ChannelRead Unexpected message!!!!!!! ************"));

    // RDP has no routing: the channel field is not looked at.
    p.Served(5, 0);
    CHECK(Receive(Words(PYXMSG_RPC_CLOSE, {5}, 1, 3)));
    CHECK(p.replies.size() == 1);
    // ICA: a data channel goes to its worker, a channel beyond them nowhere.
    p.workers[3] = CIcaRoutingOps::Worker::Busy;
    CHECK(Receive(Words(PYXMSG_RPC_READ, {5, 10, 0}, 2, 3), true));
    CHECK(Receive(Words(PYXMSG_RPC_READ, {5, 10, 0}, 2, 42), true));
    CHECK(Traced(L"pass_the_message: the worker of data channel 3 is still in a request, message dropped"));
    CHECK(Traced(L"PyxControlThread: message for channel 42 dropped, no such data channel"));
    CHECK(p.replies.size() == 1);
}

TEST_CASE_FIXTURE(Fixture, "ICA hand-off: dropped at once without a free worker, waited for, withdrawn")
{
    const auto read = Words(PYXMSG_RPC_READ, {5, 10, 0}, 2, 4);
    std::copy(read.begin(), read.end(), buffer.begin());
    auto pass = [&](int channel) { return PassTheMessage(channel, 44, p, handoff, length); };

    // No file (or one still opening) and a worker in a request: no wake, no wait.
    p.workers[4] = CIcaRoutingOps::Worker::Busy;
    CHECK_FALSE(pass(3));
    CHECK_FALSE(pass(4));
    CHECK_FALSE(pass(10));
    CHECK(Traced(L"pass_the_message: no file on data channel 3, message dropped"));
    CHECK(p.woken.empty());
    CHECK(p.now == 1000);
    CHECK(handoff.IsFree());

    p.workers[4] = CIcaRoutingOps::Worker::Ready;
    SUBCASE("the worker takes the message and gives the buffer back")
    {
        p.onWait = [&](uint32_t) {
            CHECK(length == 44u);
            CHECK_FALSE(handoff.Take(3));   // not another channel's
            REQUIRE(handoff.Take(4));
            handoff.Release();
            return 5u;
        };
        CHECK(pass(4));
        CHECK(p.woken == std::vector<int>{4});
        CHECK(p.now < 1000 + kHandoffWaitMs);
    }
    SUBCASE("nobody takes it: withdrawn after 1500 ms, and a late taker finds nothing")
    {
        CHECK_FALSE(pass(4));
        CHECK(p.now == 1000 + kHandoffWaitMs);
        CHECK(Traced(L"pass_the_message: Timeout"));
        CHECK(handoff.IsFree());
        CHECK_FALSE(handoff.Take(4));
    }
    SUBCASE("taken and still held at the deadline: waited for until given back, or the exit")
    {
        int waits = 0;
        p.onWait = [&](uint32_t ms) {
            if (waits++ == 0)
                REQUIRE(handoff.Take(4));
            if (waits == 5)
                handoff.Release();
            return ms;
        };
        CHECK_FALSE(pass(4));
        CHECK(waits == 5);
        CHECK(handoff.IsFree());

        waits = 0;
        p.onWait = [&](uint32_t ms) {
            if (waits++ == 0)
                REQUIRE(handoff.Take(4));
            p.exitSet = waits == 3;
            return ms;
        };
        CHECK_FALSE(pass(4));
        CHECK(waits == 3);
        CHECK_FALSE(handoff.IsFree());   // the next read waits for it too, or the thread ends
    }
}

// --- file objects, their table and claims -----------------------------------

namespace {

// A file source whose reads can be held inside the read, as a stalled
// download holds its worker; it records a close that comes during a read.
struct SourceState
{
    std::mutex lock;
    std::condition_variable changed;
    bool hold = false, inRead = false, closedInRead = false, openHeld = false, opening = false;
    int closes = 0;

    void Set(bool &flag, bool value)
    {
        std::lock_guard<std::mutex> hold_(lock);
        flag = value;
        changed.notify_all();
    }
    bool WaitFor(const bool &flag, bool value = true)
    {
        std::unique_lock<std::mutex> wait(lock);
        return changed.wait_for(wait, std::chrono::seconds(5), [&] { return flag == value; });
    }
};

class HeldSource final : public CVirtualFileInterface
{
public:
    HeldSource(std::shared_ptr<SourceState> state, uint32_t size) : m_state(std::move(state)), m_size(size) {}

    bool Open(const WireChar *name) override
    {
        std::unique_lock<std::mutex> wait(m_state->lock);
        m_state->opening = true;
        m_state->changed.notify_all();
        m_state->changed.wait(wait, [&] { return !m_state->openHeld; });
        m_state->opening = false;
        errno = ENOENT;
        return name[0] != u'-';   // "-..." names a missing file
    }
    int Read(void *buffer, unsigned count) override
    {
        std::unique_lock<std::mutex> wait(m_state->lock);
        m_state->inRead = true;
        m_state->changed.notify_all();
        m_state->changed.wait(wait, [&] { return !m_state->hold; });
        m_state->inRead = false;
        m_state->changed.notify_all();
        const unsigned n = std::min<unsigned>(count, m_size - std::min<uint32_t>(m_size, m_position));
        std::fill_n(static_cast<unsigned char *>(buffer), n, 0x5A);
        m_position += n;
        return static_cast<int>(n);
    }
    long Seek(long offset, int origin) override
    {
        m_position = static_cast<uint32_t>(offset + (origin == 2 ? m_size : origin == 1 ? m_position : 0));
        return static_cast<long>(m_position);
    }
    int Close() override
    {
        std::lock_guard<std::mutex> hold(m_state->lock);
        m_state->closedInRead |= m_state->inRead;
        ++m_state->closes;
        return 0;
    }
    uint32_t GetHandle() override { return m_fd; }

private:
    std::shared_ptr<SourceState> m_state;
    uint32_t m_size, m_position = 0;
    uint32_t m_fd = static_cast<uint32_t>(++s_nDescriptors);
    static inline std::atomic<int> s_nDescriptors{100};
};

std::atomic<int> g_liveWorkers{0};
std::atomic<uint64_t> g_now{50000};
std::atomic<int> g_liveObjects{0};

// A file object on std::thread, with a request queue for a data channel.
class TestFile final : public CFileObject
{
public:
    std::shared_ptr<SourceState> source = std::make_shared<SourceState>();
    uint32_t size = 1000;
    bool channelFails = false;
    uint32_t joinCapMs = 5000;   // the longest a join really waits
    uint32_t joinTakesMs = 0;    // how far the clock moves during a join
    std::vector<uint32_t> *joins = nullptr;   // what each join was given
    std::vector<std::vector<unsigned char>> replies;

    TestFile() { ++g_liveObjects; }
    ~TestFile() override { --g_liveObjects; }

    void Queue(const std::vector<unsigned char> &request)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_requests.push_back(request);
        m_wake.notify_all();
    }
    void BreakChannel() { Signal(m_bBroken); }

    unsigned char *GetMessageBuffer() override { return m_buffer.data(); }
    uint32_t GetMessageLength() override { return m_nLength; }
    bool ChannelWrite(void *message, uint32_t length, uint32_t *written) override
    {
        if (m_bRepliesStopped)
            return false;
        const auto *b = static_cast<const unsigned char *>(message);
        std::lock_guard<std::mutex> hold(m_lock);
        replies.emplace_back(b, b + length);
        *written = length;
        return true;
    }
    bool VirtualChannelOpen(int) override { return !channelFails; }
    // The worker's wait for its next request, as an ICA worker marks itself busy.
    void ProcessFileRpc() override
    {
        {
            std::unique_lock<std::mutex> wait(m_lock);
            m_wake.wait(wait, [&] { return m_bExit || m_bBroken || !m_requests.empty(); });
            if (m_bBroken) {
                m_nExtendedErrorNumber = ERR_CHANNEL_IO;
                return;
            }
            if (m_requests.empty())
                return;
            std::copy(m_requests.front().begin(), m_requests.front().end(), m_buffer.begin());
            m_nLength = static_cast<uint32_t>(m_requests.front().size());
            m_requests.erase(m_requests.begin());
        }
        m_bInRequest = true;
        CFileRpcRequests::ProcessFileRpc();
        m_bInRequest = false;
    }

protected:
    bool CreateExitSignal() override { return true; }
    void SetExitSignal() override { Signal(m_bExit); }
    bool IsExitSignalled() override
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_bExit;
    }
    void CloseExitSignal() override {}
    std::unique_ptr<CVirtualFileInterface> CreateFileSource(const WireChar *) override
    {
        return std::make_unique<HeldSource>(source, size);
    }
    bool CreateWorker() override
    {
        auto worker = std::make_shared<Worker>();
        ++g_liveWorkers;
        std::thread thread([this, worker] {
            {
                std::unique_lock<std::mutex> wait(worker->lock);
                worker->changed.wait(wait, [&] { return worker->resumed; });
            }
            RunWorker();   // may delete the object: only `worker` is used after it
            std::lock_guard<std::mutex> hold(worker->lock);
            worker->done = true;
            worker->changed.notify_all();
            --g_liveWorkers;
        });
        worker->id = thread.get_id();
        thread.detach();
        m_worker = worker;
        return true;
    }
    void ResumeWorker() override
    {
        std::lock_guard<std::mutex> hold(m_worker->lock);
        m_worker->resumed = true;
        m_worker->changed.notify_all();
    }
    bool HasWorker() override { return m_worker != nullptr; }
    bool IsWorkerThread() override { return std::this_thread::get_id() == m_worker->id; }
    bool JoinWorker(uint32_t ms) override
    {
        if (joins)
            joins->push_back(ms);
        g_now += joinTakesMs;
        std::unique_lock<std::mutex> wait(m_worker->lock);
        return m_worker->changed.wait_for(wait, std::chrono::milliseconds(std::min(ms, joinCapMs)),
                                          [&] { return m_worker->done; });
    }
    void CloseWorker() override { m_worker.reset(); }
    uint64_t Now() override { return g_now; }
    void ReleaseChannel() override {}

private:
    struct Worker
    {
        std::mutex lock;
        std::condition_variable changed;
        bool resumed = false, done = false;
        std::thread::id id;
    };
    void Signal(bool &flag)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        flag = true;
        m_wake.notify_all();
    }

    std::shared_ptr<Worker> m_worker;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_bExit = false, m_bBroken = false;
    std::vector<std::vector<unsigned char>> m_requests;
    std::vector<unsigned char> m_buffer = std::vector<unsigned char>(kMessageBufferSize);
    uint32_t m_nLength = 0;
};

bool SlotsFree()
{
    CServerLockGuard guard;
    return std::all_of(std::begin(g_FileRpcTable), std::end(g_FileRpcTable), [](CFileObject *f) { return !f; });
}

template <class Done> bool WaitUntil(Done done)
{
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

// Opens a new object (left to the caller, or discarded on failure as the
// dispatch does after its reply).
TestFile *Open(FileOpenOutcome *outcome, const std::u16string &name = u"clip.avi",
               const std::function<void(TestFile &)> &setUp = {})
{
    auto *file = new TestFile;
    if (setUp)
        setUp(*file);
    if (file->FileRpcInit(name.c_str(), outcome))
        return file;
    file->DeallocateAndSetError(0, true);
    return nullptr;
}

// Every test leaves no object, no worker and no slot behind.
struct TableFixture : Fixture
{
    ~TableFixture()
    {
        for (int i = 0; i < kDataChannelCount; ++i) {
            if (CFileObject *file = ClaimClassBySlot(i))
                file->DeallocateAndSetError(0, true);
        }
        CHECK(WaitUntil([] { return g_liveWorkers == 0 && g_liveObjects == 0; }));
    }
};

} // namespace

TEST_CASE_FIXTURE(TableFixture, "slots: lowest free first, the eleventh refused, an object still opening invisible")
{
    std::vector<int32_t> fds;
    for (int i = 0; i < kDataChannelCount; ++i) {
        FileOpenOutcome outcome;
        REQUIRE(Open(&outcome));
        CHECK(outcome.channelNumber == i);
        CHECK(outcome.extendedError == 0);
        fds.push_back(outcome.fileDescriptor);
    }
    FileOpenOutcome refused;
    CHECK_FALSE(Open(&refused));
    CHECK(refused.fileDescriptor == -1);
    CHECK(refused.channelNumber == 0);
    CHECK(refused.systemError == 0);
    CHECK(GetClassByFileDescriptor(-1) == nullptr);
    CHECK(GetClassByFilePointer(0) == nullptr);
    CHECK(GetClassByFileDescriptor(fds[4]) == g_FileRpcTable[4]);

    for (int slot : {6, 3}) {
        CFileObject *file = ClaimClassByFileDescriptor(fds[slot]);
        REQUIRE(file);
        CHECK(ClaimClassByFileDescriptor(fds[slot]) == nullptr);   // claimed once
        CHECK(CloseClaimedFile(file) == 0);
    }

    // An open in progress holds slot 3 but is invisible; the next takes 6.
    auto source = std::make_shared<SourceState>();
    source->openHeld = true;
    TestFile *opening = nullptr;
    FileOpenOutcome held;
    std::thread opener([&] { opening = Open(&held, u"clip.avi", [&](TestFile &f) { f.source = source; }); });
    REQUIRE(source->WaitFor(source->opening));
    CHECK(ClaimClassBySlot(3) == nullptr);
    CHECK(WorkerOfSlot(3) == CIcaRoutingOps::Worker::None);
    FileOpenOutcome next;
    REQUIRE(Open(&next));
    CHECK(next.channelNumber == 6);
    source->Set(source->openHeld, false);
    opener.join();
    REQUIRE(opening);
    CHECK(held.channelNumber == 3);
    CHECK(WorkerOfSlot(3) == CIcaRoutingOps::Worker::Ready);
    CHECK(ClaimFileObject(opening));
    CHECK_FALSE(ClaimFileObject(opening));
    opening->DeallocateAndSetError(0, true);

    // Failed opens report why and leave their slot free.
    FileOpenOutcome missing, empty, channel;
    CHECK_FALSE(Open(&missing, u"-missing"));
    CHECK_FALSE(Open(&empty, u"clip.avi", [](TestFile &f) { f.size = 0; }));
    CHECK_FALSE(Open(&channel, u"clip.avi", [](TestFile &f) { f.channelFails = true; }));
    CHECK(std::vector<int32_t>{missing.fileDescriptor, missing.channelNumber, missing.extendedError,
                               missing.systemError} == std::vector<int32_t>{-1, 3, 0, ENOENT});
    CHECK(empty.fileDescriptor == -1);
    CHECK(empty.extendedError == 0);
    CHECK(channel.extendedError == ERR_CHANNEL_OPEN);
    CHECK(g_FileRpcTable[3] == nullptr);
}

TEST_CASE_FIXTURE(TableFixture, "a CLOS while the worker is inside a read closes the source after the read, once")
{
    struct FilesOverTable final : CFileTableOps
    {
        CFileRpcRequests *CreateFileObject() override { return nullptr; }
        std::shared_ptr<CPendingOpen> StartOpen(CFileRpcRequests *, const WireChar *, int32_t *) override
        {
            return nullptr;
        }
    } table;
    auto close = [&](int32_t fd) {
        const auto m = Words(PYXMSG_RPC_CLOSE, {static_cast<uint32_t>(fd)}, 9);
        std::copy(m.begin(), m.end(), buffer.begin());
        CControlDispatch dispatch(false, buffer.data(), p, table, p, handoff, length);
        REQUIRE(dispatch.OnReceived(static_cast<uint32_t>(m.size()), 0));
        REQUIRE(p.replies.size() == 1);
        return ReplyWord(32);
    };
    FileOpenOutcome outcome;
    TestFile *file = Open(&outcome);
    REQUIRE(file);
    const std::shared_ptr<SourceState> source = file->source;
    source->Set(source->hold, true);
    file->Queue(Words(PYXMSG_RPC_READ, {static_cast<uint32_t>(outcome.fileDescriptor), 100, 0xFFFFFFFFu}, 1, 0));
    REQUIRE(source->WaitFor(source->inRead));
    CHECK(WorkerOfSlot(0) == CIcaRoutingOps::Worker::Busy);

    SUBCASE("the read returns within the join: closed after it, answered with the close's result")
    {
        std::thread reader([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            source->Set(source->hold, false);
        });
        CHECK(close(outcome.fileDescriptor) == 0);
        reader.join();
        CHECK(source->closes == 1);
        CHECK_FALSE(source->closedInRead);
        CHECK(SlotsFree());
    }
    SUBCASE("the read outlasts the join: answered -1, the worker finishes the teardown, its slot held till then")
    {
        std::vector<uint32_t> joins;
        file->joinCapMs = 30;
        file->joins = &joins;
        CHECK(close(outcome.fileDescriptor) == -1);
        CHECK(joins == std::vector<uint32_t>{kWorkerJoinMs});
        CHECK(AnyThreadGivenUp());
        CHECK(g_liveObjects == 1);
        FileOpenOutcome next;
        REQUIRE(Open(&next));
        CHECK(next.channelNumber == 1);
        CHECK(CloseClaimedFile(ClaimClassBySlot(1)) == 0);

        source->Set(source->hold, false);
        CHECK(WaitUntil([] { return g_liveObjects == 0; }));
        CHECK(source->closes == 0);   // the worker drops the source; nothing closes it under the read
        REQUIRE(Open(&next));
        CHECK(next.channelNumber == 0);   // given back once the worker ended
    }
}

TEST_CASE_FIXTURE(TableFixture, "teardowns: a close racing the worker's own ends in one; a stop with one deadline")
{
    for (int round = 0; round < 50; ++round) {
        FileOpenOutcome outcome;
        TestFile *file = Open(&outcome);
        REQUIRE(file);
        file->BreakChannel();   // the worker starts its own teardown...
        if (CFileObject *claimed = ClaimClassByFileDescriptor(outcome.fileDescriptor))   // ...while a CLOS arrives
            CloseClaimedFile(claimed);
        REQUIRE(WaitUntil([] { return g_liveObjects == 0 && SlotsFree(); }));
    }

    // The control thread's end: every worker told first, each joined within
    // what is left of the one deadline.
    FileOpenOutcome a, b;
    TestFile *first = Open(&a);
    TestFile *second = Open(&b);
    REQUIRE((first && second));
    std::vector<uint32_t> joins;
    first->joins = second->joins = &joins;
    first->joinTakesMs = 1500;
    CFileObject *claimed[] = {ClaimClassBySlot(0), ClaimClassBySlot(1)};
    for (CFileObject *file : claimed)
        file->RequestStop(g_now + 2000);
    for (CFileObject *file : claimed)
        file->DeallocateAndSetError(0, true);
    CHECK(joins == std::vector<uint32_t>{2000, 500});
    CHECK(SlotsFree());
    CHECK(WorkerOfSlot(0) == CIcaRoutingOps::Worker::None);
    CHECK(g_liveObjects == 0);
}
