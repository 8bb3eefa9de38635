// The control channel's dispatch over the real file table, file objects and
// open jobs (workers and opens on std::threads, a source that can hold an
// open or a read), and the ICA hand-off. Also run under ThreadSanitizer.
#include "doctest.h"

#include "channel_io.h"
#include "control_dispatch.h"
#include "file_object.h"
#include "file_source.h"
#include "open_job.h"
#include "protocol.h"
#include "server_test_util.h"
#include "trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// The first n bytes of m, declaring just those: complete, but short of fields.
std::vector<unsigned char> Shortened(std::vector<unsigned char> m, uint32_t n)
{
    m.resize(n);
    StoreLE32(m.data() + hdr::kDataSize, n - kHeaderSize);
    return m;
}

uint64_t NowMs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

template <class Done> bool WaitUntil(Done done)
{
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

using Replies = std::vector<std::vector<unsigned char>>;

std::vector<unsigned char> OpenOf(const char16_t *name) { return BuildOpenRequest(std::u16string(name), 4); }

// What a test file's source and worker share with the test, beyond the file
// object's life: held opens and reads, closes, the worker's requests and signals.
struct FileState
{
    std::mutex lock;
    std::condition_variable changed;
    bool holdOpen = false, opening = false, holdRead = false, inRead = false, closedInRead = false;
    int closes = 0, closeResult = 0;
    bool resumed = false, done = false, exit = false, broken = false;
    std::vector<std::vector<unsigned char>> requests;

    void Set(bool &flag, bool value)
    {
        std::lock_guard<std::mutex> hold(lock);
        flag = value;
        changed.notify_all();
    }
    bool WaitFor(const bool &flag)
    {
        std::unique_lock<std::mutex> wait(lock);
        return Await(wait, [&] { return flag; }, 5000);
    }
    // Waits for `done` at most ms (no limit by default), looking again every
    // 20 ms against the clock: under Wine's threads on a loaded machine a
    // timed wait may end early and a wake-up may be lost.
    template <class Done> bool Await(std::unique_lock<std::mutex> &wait, Done done, uint64_t ms = UINT64_MAX)
    {
        const uint64_t start = NowMs();
        while (!done() && NowMs() - start < ms)
            changed.wait_for(wait, std::chrono::milliseconds(20));
        return done();
    }
    // Inside a held section: the flag is up until `hold` is released.
    void Hold(bool &inside, const bool &hold)
    {
        std::unique_lock<std::mutex> wait(lock);
        inside = true;
        changed.notify_all();
        Await(wait, [&] { return !hold; });
        inside = false;
        changed.notify_all();
    }
};

class HeldSource final : public CVirtualFileInterface
{
public:
    HeldSource(std::shared_ptr<FileState> state, uint32_t size) : m_state(std::move(state)), m_size(size) {}

    bool Open(const WireChar *name) override
    {
        m_state->Hold(m_state->opening, m_state->holdOpen);
        return name[0] != u'-';   // "-..." names a missing file
    }
    uint32_t LastError() const override { return ENOENT; }
    int Read(void *buffer, unsigned count) override
    {
        m_state->Hold(m_state->inRead, m_state->holdRead);
        const unsigned n = std::min<unsigned>(count, m_size - std::min(m_size, m_position));
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
        return m_state->closeResult;
    }
    uint32_t GetHandle() override { return m_fd; }

private:
    std::shared_ptr<FileState> m_state;
    uint32_t m_size, m_position = 0;
    uint32_t m_fd = static_cast<uint32_t>(++s_nDescriptors);
    static inline std::atomic<int> s_nDescriptors{100};
};

std::atomic<int> g_liveWorkers{0};
std::atomic<int> g_liveObjects{0};
std::atomic<uint64_t> g_joinClock{50000};

// A file object whose worker is a std::thread, with a request queue for a
// data channel.
class TestFile final : public CFileObject
{
public:
    std::shared_ptr<FileState> source = std::make_shared<FileState>();
    uint32_t size = 1000;
    bool channelFails = false;
    uint32_t joinCapMs = 5000;   // the longest a join really waits
    uint32_t joinTakesMs = 0;    // how far the join clock moves during a join
    std::vector<uint32_t> *joins = nullptr;   // what each join was given

    TestFile() { ++g_liveObjects; }
    ~TestFile() override { --g_liveObjects; }

    // While set, the memory of a deleted object goes to the next one made,
    // as an allocator may do: a pointer kept to the old one names the new.
    static inline std::atomic<bool> s_recycle{false};
    static inline std::atomic<void *> s_spare{nullptr};
    static void *operator new(size_t size)
    {
        void *spare = s_recycle ? s_spare.exchange(nullptr) : nullptr;
        return spare ? spare : ::operator new(size);
    }
    static void operator delete(void *memory)
    {
        void *none = nullptr;
        if (!s_recycle || !s_spare.compare_exchange_strong(none, memory))
            ::operator delete(memory);
    }

    void BreakChannel() { source->Set(source->broken, true); }

    unsigned char *GetMessageBuffer() override { return m_buffer.data(); }
    uint32_t GetMessageLength() override { return m_nLength; }
    bool ChannelWrite(void *, uint32_t length, uint32_t *written) override
    {
        *written = length;
        return !m_bRepliesStopped;
    }
    bool VirtualChannelOpen(int) override { return !channelFails; }
    // The worker's wait for its next request; busy in it, as an ICA worker.
    void ProcessFileRpc() override
    {
        {
            FileState &s = *source;
            std::unique_lock<std::mutex> wait(s.lock);
            s.Await(wait, [&] { return s.exit || s.broken || !s.requests.empty(); });
            if (s.broken)
                m_nExtendedErrorNumber = ERR_CHANNEL_IO;
            if (s.broken || s.requests.empty())
                return;
            std::copy(s.requests.front().begin(), s.requests.front().end(), m_buffer.begin());
            m_nLength = static_cast<uint32_t>(s.requests.front().size());
            s.requests.erase(s.requests.begin());
        }
        m_bInRequest = true;
        CFileRpcRequests::ProcessFileRpc();
        m_bInRequest = false;
    }

protected:
    bool CreateExitSignal() override { return true; }
    void SetExitSignal() override { source->Set(source->exit, true); }
    bool IsExitSignalled() override
    {
        std::lock_guard<std::mutex> hold(source->lock);
        return source->exit;
    }
    void CloseExitSignal() override {}
    std::unique_ptr<CVirtualFileInterface> CreateFileSource(const WireChar *) override
    {
        return std::make_unique<HeldSource>(source, size);
    }
    bool CreateWorker() override
    {
        ++g_liveWorkers;
        std::thread thread([this, shared = source] {
            {
                std::unique_lock<std::mutex> wait(shared->lock);
                shared->Await(wait, [&] { return shared->resumed; });
            }
            RunWorker();   // may delete the object
            std::lock_guard<std::mutex> hold(shared->lock);
            shared->done = true;
            shared->changed.notify_all();
            --g_liveWorkers;
        });
        m_worker = thread.get_id();
        thread.detach();
        return true;
    }
    void ResumeWorker() override { source->Set(source->resumed, true); }
    bool HasWorker() override { return m_worker != std::thread::id(); }
    bool IsWorkerThread() override { return std::this_thread::get_id() == m_worker; }
    bool JoinWorker(uint32_t ms) override
    {
        if (joins)
            joins->push_back(ms);
        g_joinClock += joinTakesMs;
        std::unique_lock<std::mutex> wait(source->lock);
        return source->Await(wait, [&] { return source->done; }, std::min(ms, joinCapMs));
    }
    void CloseWorker() override { m_worker = std::thread::id(); }
    uint64_t Now() override { return g_joinClock; }
    void ReleaseChannel() override {}

private:
    std::thread::id m_worker;
    std::vector<unsigned char> m_buffer = std::vector<unsigned char>(kMessageBufferSize);
    uint32_t m_nLength = 0;
};

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

// Every operation set: the control channel and the routing record what they
// are asked; file objects are TestFiles opened by real open jobs on
// std::threads, waited for on a condition with the exit flag.
class Platform final : public CControlChannelOps, public CFileTableOps, public CIcaRoutingOps, public COpenJobOps
{
public:
    Replies replies;
    bool failWrites = false;
    std::vector<uint32_t> chunking, policies;

    bool failCreate = false, noThread = false, openHere = false;
    std::function<void(TestFile &)> setUp;   // for the next object
    std::u16string openedName;

    Worker workers[kDataChannelCount] = {};
    std::vector<int> woken;
    uint64_t now = 1000;
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
        auto *file = new TestFile;
        if (setUp)
            setUp(*file);
        return file;
    }
    std::shared_ptr<CPendingOpen> StartOpen(CFileRpcRequests *file, const WireChar *name, int32_t *error) override
    {
        openedName = name;
        if (openHere)
            return COpenJob::RunHere(*this, Object(file), name);
        auto job = COpenJob::Start(*this, Object(file), name);
        if (!job)
            *error = 8;
        return job;
    }

    struct Done final : CDoneSignal
    {
        Platform &p;
        bool set = false;
        explicit Done(Platform &platform) : p(platform) {}
        void Set() override { p.Signal(set); }
    };
    std::unique_ptr<CDoneSignal> MakeDoneSignal() override { return std::make_unique<Done>(*this); }
    bool StartThread(std::function<void()> body) override
    {
        if (!noThread)
            std::thread(std::move(body)).detach();
        return !noThread;
    }
    COpenJobOps::Wake WaitDone(CDoneSignal &done, uint64_t deadline) override
    {
        using Woke = COpenJobOps::Wake;
        std::unique_lock<std::mutex> wait(m_lock);
        // Short waits against the clock itself: a timed wait of Wine's
        // threads may end early on a loaded machine.
        for (uint64_t now = NowMs(); !static_cast<Done &>(done).set && !m_bExit && now < deadline; now = NowMs())
            m_changed.wait_for(wait, std::chrono::milliseconds(std::min<uint64_t>(20, deadline - now)));
        return static_cast<Done &>(done).set ? Woke::Done : m_bExit ? Woke::Exit : Woke::Deadline;
    }
    void SetExit() { Signal(m_bExit); }

    Worker WorkerOf(int channel) override { return workers[channel]; }
    bool PrepareWake(int) override { return true; }
    void Wake(int channel) override { woken.push_back(channel); }
    void WaitPassed(uint32_t ms) override { now += onWait ? onWait(ms) : ms; }
    uint64_t Now() override { return now; }
    bool IsExitSet() override
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_bExit;
    }

private:
    void Signal(bool &flag)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        flag = true;
        m_changed.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_bExit = false;
};

// A step run once, right when some thread traces a text containing `part`,
// on that thread.
std::mutex g_actionLock;
std::wstring g_actionPart;
std::function<void()> g_action;
void OnTrace(std::wstring part, std::function<void()> action)
{
    std::lock_guard<std::mutex> hold(g_actionLock);
    g_actionPart = std::move(part);
    g_action = std::move(action);
}
void RecordAndAct(const wchar_t *text)
{
    RecordTrace(text);
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> hold(g_actionLock);
        if (g_action && std::wstring(text).find(g_actionPart) != std::wstring::npos)
            std::swap(action, g_action);
    }
    if (action)
        action();
}

void TearDownTable()
{
    for (int i = 0; i < kDataChannelCount; ++i) {
        if (CFileObject *file = ClaimClassBySlot(i))
            file->DeallocateAndSetError(0, true);
    }
}

// Every test leaves no object, no worker and no slot behind.
struct Fixture
{
    Platform p;
    std::unique_ptr<CSharedMessage> shared = std::make_unique<CSharedMessage>();
    CClientParameters parameters;

    Fixture()
    {
        g_trace.clear();
        SetTraceHook(RecordTrace);
    }
    ~Fixture()
    {
        TearDownTable();
        CHECK(WaitUntil([] { return g_liveWorkers == 0 && g_liveObjects == 0; }));
        SetTraceHook(nullptr);
        OnTrace({}, nullptr);
        TestFile::s_recycle = false;
        ::operator delete(TestFile::s_spare.exchange(nullptr));
    }

    // The message as read: its first `received` bytes (all by default).
    bool Receive(const std::vector<unsigned char> &m, bool ica = false, uint32_t received = 0,
                 uint64_t arrived = NowMs())
    {
        const uint32_t n = received ? received : static_cast<uint32_t>(m.size());
        std::fill(std::begin(shared->buffer), std::end(shared->buffer), 0xEE);   // what lies beyond the bytes received
        std::copy(m.begin(), m.begin() + std::min<size_t>(n, m.size()), shared->buffer);
        return CControlDispatch(ica ? SessionKind::Ica : SessionKind::Rdp, *shared, parameters, p, p, p)
            .OnReceived(n, arrived);
    }
};

} // namespace

TEST_CASE_FIXTURE(Fixture, "SEND: checked, its parameters taken, answered with 0")
{
    // One byte short of its fields: dropped, nothing changed or answered.
    const auto send = BuildSendParams(kPolicyApply | 3, 64, 500, 0, 3);
    CHECK(Receive(Shortened(send, kSendParamsSize - 1)));
    CHECK(Traced(L"PYXMSG_SEND_PARAMS of 59 bytes is too short, dropped"));
    CHECK(p.replies.empty());
    CHECK(parameters.dwMaxBlockKB == 0);

    SUBCASE("RDP takes the client's chunking; a policy with bit 31 is applied")
    {
        CHECK(Receive(send));
        CHECK(parameters.dwMaxBlockKB == 64);
        CHECK(parameters.dwTargetRate == 500);
        CHECK(p.chunking == std::vector<uint32_t>{0});
        CHECK(p.policies == std::vector<uint32_t>{kPolicyApply | 3});
        CHECK(p.replies == Replies{BuildWordsRequest(PYXMSG_SEND_PARAMS, {0}, 3)});
    }
    SUBCASE("ICA keeps chunking on; a policy without bit 31 changes nothing; a failed reply ends the thread")
    {
        p.failWrites = true;
        CHECK_FALSE(Receive(BuildSendParams(3, 0, 0, 0, 3), true));
        CHECK(p.chunking == std::vector<uint32_t>{1});
        CHECK(p.policies.empty());
    }
}

TEST_CASE_FIXTURE(Fixture, "OPEN: the open's outcome, its deadline, the exit, and who disposes of the object")
{
    // A name cut off by the end of the message: dropped before any object.
    auto cut = OpenOf(u"C:\\clip.avi");
    std::fill(cut.begin() + kOpenNameOffset, cut.end(), 'x');
    CHECK(Receive(Shortened(cut, 300)));
    CHECK(Traced(L"the file name is cut off by the end of the 300-byte message, dropped"));
    CHECK(p.replies.empty());

    auto reply = [](uint32_t fd, uint32_t channel, int32_t extended, int32_t system) {
        return Replies{BuildWordsRequest(PYXMSG_RPC_OPEN, {fd, channel, uint32_t(extended), uint32_t(system)}, 4)};
    };
    auto source = std::make_shared<FileState>();
    p.setUp = [&](TestFile &f) { f.source = source; };
    SUBCASE("opened: the client learns its descriptor and channel; failed: why, and the object goes")
    {
        CHECK(Receive(OpenOf(u"C:\\media\\\u00e9t\u00e9.avi")));
        CHECK(p.openedName == u"C:\\media\\\u00e9t\u00e9.avi");
        const uint32_t fd = LoadLE32(p.replies.back().data() + 32);
        CHECK(p.replies == reply(fd, 0, 0, 0));
        CHECK(GetClassByFileDescriptor(static_cast<int>(fd)) != nullptr);
        p.replies.clear();
        CHECK(Receive(OpenOf(u"-missing")));
        CHECK(p.replies == reply(~0u, 1, 0, ENOENT));
        CHECK(g_liveObjects == 1);
    }
    SUBCASE("an open that cannot hang runs on the control thread: the same replies, no thread")
    {
        p.openHere = p.noThread = true;
        CHECK(Receive(OpenOf(u"a")));
        const uint32_t fd = LoadLE32(p.replies.back().data() + 32);
        CHECK(p.replies == reply(fd, 0, 0, 0));
        p.replies.clear();
        CHECK(Receive(OpenOf(u"-missing")));
        CHECK(p.replies == reply(~0u, 1, 0, ENOENT));
        CHECK(g_liveObjects == 1);
    }
    SUBCASE("no thread for the open: answered as failed with the system's error; no object: the thread ends")
    {
        p.noThread = true;
        CHECK(Receive(OpenOf(u"a")));
        CHECK(p.replies == reply(~0u, 0, ERR_CREATE_THREAD, 8));
        p.failCreate = true;
        CHECK_FALSE(Receive(OpenOf(u"a")));
        CHECK(p.replies.size() == 1);
    }
    SUBCASE("20 s after its arrival: answered with 12002; the open keeps its slot until it returns")
    {
        source->holdOpen = true;
        CHECK(Receive(OpenOf(u"a"), false, 0, NowMs() - kOpenDeadlineMs + 50));
        CHECK(p.replies == reply(~0u, 0, 0, kOpenTimedOutError));
        REQUIRE(source->WaitFor(source->opening));   // its thread holds slot 0 (it may start late)
        p.setUp = nullptr;
        CHECK(Receive(OpenOf(u"b")));
        CHECK(LoadLE32(p.replies.back().data() + 36) == 1);
        source->Set(source->holdOpen, false);   // it opens, and its thread disposes of it
        CHECK(WaitUntil([] { return g_liveObjects == 1 && WorkerOfSlot(0) == CIcaRoutingOps::Worker::None; }));
    }
    SUBCASE("an open given up goes once: failed while the table is torn down, or opened and since replaced")
    {
        SetTraceHook(RecordAndAct);
        const std::wstring returned = L"an open given up has returned";
        source->holdOpen = true;
        CHECK(Receive(OpenOf(u"-missing"), false, 0, NowMs() - kOpenDeadlineMs + 50));
        REQUIRE(source->WaitFor(source->opening));
        // The session ends ("Kill Clients", the tray's Exit) just as it fails.
        OnTrace(returned, TearDownTable);
        source->Set(source->holdOpen, false);
        CHECK(WaitUntil([] { return g_liveObjects == 0; }));
        CHECK(Traced(returned));

        // Opened after it was given up; its worker's teardown deletes it and
        // a new open takes its memory and its slot before its thread looks.
        TestFile::s_recycle = true;
        source->holdOpen = true;
        p.replies.clear();
        CHECK(Receive(OpenOf(u"a"), false, 0, NowMs() - kOpenDeadlineMs + 50));
        CHECK(p.replies == reply(~0u, 0, 0, kOpenTimedOutError));
        REQUIRE(source->WaitFor(source->opening));
        std::atomic<CFileObject *> given{nullptr}, successor{nullptr};
        FileOpenOutcome next;
        OnTrace(returned, [&] {
            given = ClaimClassBySlot(0);
            if (given)
                given.load()->DeallocateAndSetError(0, true);
            successor = Open(&next);
        });
        source->Set(source->holdOpen, false);
        REQUIRE(WaitUntil([&] { return successor != nullptr; }));
        CHECK(successor == given);   // the same address...
        CHECK(WaitUntil([] { return g_liveObjects == 1; }));
        CHECK(GetClassByFileDescriptor(next.fileDescriptor) == successor);   // ...and left alone
    }
    SUBCASE("the exit signal during the open: no reply, the object left to the open's thread")
    {
        source->holdOpen = true;
        std::thread exit([&] {
            source->WaitFor(source->opening);
            p.SetExit();
        });
        CHECK(Receive(OpenOf(u"a")));
        exit.join();
        CHECK(p.replies.empty());
        source->Set(source->holdOpen, false);
        CHECK(WaitUntil([] { return g_liveObjects == 0; }));
    }
    SUBCASE("a reply that cannot be written: the object goes once, also when its worker races to tear it down")
    {
        p.failWrites = true;
        CHECK_FALSE(Receive(OpenOf(u"-missing")));
        CHECK_FALSE(Receive(OpenOf(u"a")));
        CHECK(g_liveObjects == 0);
        p.setUp = [](TestFile &f) { f.BreakChannel(); };
        for (int i = 0; i < 20; ++i)
            CHECK_FALSE(Receive(OpenOf(u"a")));
        CHECK(WaitUntil([] { return g_liveObjects == 0; }));
    }
}

TEST_CASE_FIXTURE(Fixture, "CLOS and FCLO: claimed by descriptor or stream, closed once, answered with the result")
{
    FileOpenOutcome a, b;
    TestFile *first = Open(&a), *second = Open(&b, u"clip.avi", [](TestFile &f) { f.m_dwFilePointer = 0x21; });
    REQUIRE((first && second));
    first->source->closeResult = 1;
    const auto sources = {first->source, second->source};
    CHECK(WorkerOfSlot(0) == CIcaRoutingOps::Worker::Ready);

    CHECK(Receive(Shortened(BuildWordsRequest(PYXMSG_RPC_CLOSE, {5}, 9), 35)));
    CHECK(Traced(L"PYXMSG_RPC_CLOSE of 35 bytes is too short, dropped"));
    CHECK(Receive(BuildWordsRequest(PYXMSG_RPC_CLOSE, {0x21}, 9)));                                  // a stream is no descriptor
    CHECK(Receive(BuildWordsRequest(PYXMSG_RPC_FCLOSE, {static_cast<uint32_t>(a.fileDescriptor)}, 9)));  // nor the other way round
    CHECK(Traced(L"ChannelWrite: PYXMSG_RPC_CLOSE GetClassByFileDescriptor got 0"));
    CHECK(Traced(L"ChannelWrite: PYXMSG_RPC_FCLOSE GetClassByFileDescriptor got 0"));
    CHECK(p.replies.empty());

    for (int twice = 0; twice < 2; ++twice) {   // the second finds nothing
        CHECK(Receive(BuildWordsRequest(PYXMSG_RPC_CLOSE, {static_cast<uint32_t>(a.fileDescriptor)}, 10)));
        CHECK(Receive(BuildWordsRequest(PYXMSG_RPC_FCLOSE, {0x21}, 11)));
    }
    for (const auto &source : sources)
        CHECK(source->closes == 1);
    CHECK(p.replies == Replies{BuildWordsRequest(PYXMSG_RPC_CLOSE, {1}, 10), BuildWordsRequest(PYXMSG_RPC_FCLOSE, {0}, 11)});
    CHECK(SlotsFree());

    REQUIRE(Open(&a));
    p.failWrites = true;
    CHECK_FALSE(Receive(BuildWordsRequest(PYXMSG_RPC_CLOSE, {static_cast<uint32_t>(a.fileDescriptor)}, 14)));
}

TEST_CASE_FIXTURE(Fixture, "a CLOS while the worker is inside a read closes the source after the read, once")
{
    FileOpenOutcome outcome;
    TestFile *file = Open(&outcome);
    REQUIRE(file);
    const std::shared_ptr<FileState> source = file->source;
    {
        std::lock_guard<std::mutex> hold(source->lock);
        source->holdRead = true;
        source->requests.push_back(BuildWordsRequest(PYXMSG_RPC_READ, {uint32_t(outcome.fileDescriptor), 100, ~0u}, 1, 0));
        source->changed.notify_all();
    }
    REQUIRE(source->WaitFor(source->inRead));
    CHECK(WorkerOfSlot(0) == CIcaRoutingOps::Worker::Busy);
    const auto close = BuildWordsRequest(PYXMSG_RPC_CLOSE, {static_cast<uint32_t>(outcome.fileDescriptor)}, 9);

    SUBCASE("the read returns within the join: closed after it, answered with the close's result")
    {
        std::thread reader([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            source->Set(source->holdRead, false);
        });
        CHECK(Receive(close));
        reader.join();
        CHECK(p.replies == Replies{BuildWordsRequest(PYXMSG_RPC_CLOSE, {0}, 9)});
        CHECK(source->closes == 1);
        CHECK_FALSE(source->closedInRead);
        CHECK(SlotsFree());
    }
    SUBCASE("the read outlasts the join: answered -1, the worker finishes the teardown, its slot held till then")
    {
        std::vector<uint32_t> joins;
        file->joinCapMs = 30;
        file->joins = &joins;
        CHECK(Receive(close));
        CHECK(p.replies == Replies{BuildWordsRequest(PYXMSG_RPC_CLOSE, {~0u}, 9)});
        CHECK(joins == std::vector<uint32_t>{kWorkerJoinMs});
        CHECK(AnyThreadGivenUp());
        FileOpenOutcome next;
        REQUIRE(Open(&next));
        CHECK(next.channelNumber == 1);

        source->Set(source->holdRead, false);
        CHECK(WaitUntil([] { return g_liveObjects == 1; }));
        CHECK(source->closes == 0);   // dropped by the worker; nothing closed it under the read
        REQUIRE(Open(&next));
        CHECK(next.channelNumber == 0);   // given back once the worker ended
    }
}

TEST_CASE_FIXTURE(Fixture, "slots: lowest free first, the eleventh refused, an object still opening invisible")
{
    std::vector<int32_t> fds;
    for (int i = 0; i < kDataChannelCount; ++i) {
        FileOpenOutcome outcome;
        REQUIRE(Open(&outcome));
        CHECK(outcome.channelNumber == i);
        fds.push_back(outcome.fileDescriptor);
    }
    FileOpenOutcome refused;
    CHECK_FALSE(Open(&refused));
    CHECK(std::vector<int32_t>{refused.fileDescriptor, refused.channelNumber, refused.systemError} ==
          std::vector<int32_t>{-1, 0, 0});
    CHECK(GetClassByFileDescriptor(-1) == nullptr);
    CHECK(GetClassByFilePointer(0) == nullptr);
    for (int slot : {6, 3})
        CHECK(CloseClaimedFile(ClaimClassByFileDescriptor(fds[slot])) == 0);

    // An open in progress holds slot 3 but is invisible; the next takes 6.
    auto source = std::make_shared<FileState>();
    source->holdOpen = true;
    TestFile *opening = nullptr;
    FileOpenOutcome held, next;
    std::thread opener([&] { opening = Open(&held, u"clip.avi", [&](TestFile &f) { f.source = source; }); });
    REQUIRE(source->WaitFor(source->opening));
    CHECK(ClaimClassBySlot(3) == nullptr);
    CHECK(WorkerOfSlot(3) == CIcaRoutingOps::Worker::None);
    REQUIRE(Open(&next));
    CHECK(next.channelNumber == 6);
    source->Set(source->holdOpen, false);
    opener.join();
    REQUIRE(opening);
    CHECK(held.channelNumber == 3);
    CHECK(ClaimFileObject(opening));
    CHECK_FALSE(ClaimFileObject(opening));
    opening->DeallocateAndSetError(0, true);

    // Failed opens report why and leave their slot free.
    FileOpenOutcome empty, channel;
    CHECK_FALSE(Open(&empty, u"clip.avi", [](TestFile &f) { f.size = 0; }));
    CHECK_FALSE(Open(&channel, u"clip.avi", [](TestFile &f) { f.channelFails = true; }));
    CHECK(std::vector<int32_t>{empty.fileDescriptor, empty.extendedError, channel.extendedError} ==
          std::vector<int32_t>{-1, 0, ERR_CHANNEL_OPEN});
    CHECK(WorkerOfSlot(3) == CIcaRoutingOps::Worker::None);
}

TEST_CASE_FIXTURE(Fixture, "teardowns: a close racing the worker's own ends in one; a stop with one deadline")
{
    for (int round = 0; round < 50; ++round) {
        FileOpenOutcome outcome;   // the worker starts its own teardown...
        REQUIRE(Open(&outcome, u"clip.avi", [](TestFile &f) { f.BreakChannel(); }));
        if (CFileObject *claimed = ClaimClassByFileDescriptor(outcome.fileDescriptor))   // ...while a CLOS arrives
            CloseClaimedFile(claimed);
        REQUIRE(WaitUntil([] { return g_liveObjects == 0 && SlotsFree(); }));
    }

    // The control thread's end: every worker told first, each joined within
    // what is left of the one deadline.
    FileOpenOutcome a, b;
    TestFile *first = Open(&a), *second = Open(&b);
    REQUIRE((first && second));
    std::vector<uint32_t> joins;
    first->joins = second->joins = &joins;
    first->joinTakesMs = 1500;
    CFileObject *claimed[] = {ClaimClassBySlot(0), ClaimClassBySlot(1)};
    for (CFileObject *file : claimed)
        file->RequestStop(g_joinClock + 2000);
    for (CFileObject *file : claimed)
        file->DeallocateAndSetError(0, true);
    CHECK(joins == std::vector<uint32_t>{2000, 500});
    CHECK(WorkerOfSlot(0) == CIcaRoutingOps::Worker::None);
}

TEST_CASE_FIXTURE(Fixture, "what is read goes to the dispatch, a worker, or nowhere")
{
    // Shorter than its header or than what it declares: nothing is done.
    CHECK(Receive(BuildWordsRequest(PYXMSG_RPC_CLOSE, {5}, 1), false, 20));
    CHECK(Receive(BuildWordsRequest(PYXMSG_RPC_OPEN, {}, 1, CHANNEL_CONTROL, 600), false, 100));
    CHECK(Traced(L"PyxControlThread ChannelRead got a short chunk of data... 20"));
    CHECK(Traced(L"PyxControlThread ChannelRead got a short chunk of data... 100"));
    // RDP has no routing: the channel field is not looked at.
    CHECK(Receive(BuildWordsRequest(0x21212121, {1}, 1, 3)));
    CHECK(Traced(L" ********** ChannelRead Unexpected message!!!!!!! ************"));
    // ICA: a data channel goes to its worker, a channel beyond them nowhere.
    p.workers[3] = CIcaRoutingOps::Worker::Busy;
    CHECK(Receive(BuildWordsRequest(PYXMSG_RPC_READ, {5, 10, 0}, 2, 3), true));
    CHECK(Receive(BuildWordsRequest(PYXMSG_RPC_READ, {5, 10, 0}, 2, 42), true));
    CHECK(Traced(L"pass_the_message: the worker of data channel 3 is still in a request, message dropped"));
    CHECK(Traced(L"PyxControlThread: message for channel 42 dropped, no such data channel"));
    CHECK(p.replies.empty());
}

TEST_CASE_FIXTURE(Fixture, "ICA hand-off: dropped without a free worker, waited for, withdrawn")
{
    auto pass = [&](int channel) { return PassTheMessage(channel, 44, p, *shared); };

    // No file (or one still opening): dropped at once. A worker in a
    // request: after the grace. Neither is woken.
    p.workers[4] = CIcaRoutingOps::Worker::Busy;
    CHECK_FALSE(pass(3));
    CHECK_FALSE(pass(10));
    CHECK(p.now == 1000);
    CHECK_FALSE(pass(4));
    CHECK(Traced(L"pass_the_message: no file on data channel 3, message dropped"));
    CHECK(p.woken.empty());
    CHECK(p.now == 1000 + kBusyGraceMs);
    CHECK(shared->handoff.IsFree());

    // The client answered the last reply before its worker came back from
    // the request: the next request waits for it instead of being lost.
    p.onWait = [&](uint32_t ms) {
        p.workers[4] = CIcaRoutingOps::Worker::Ready;
        if (!p.woken.empty()) {
            REQUIRE(shared->handoff.Take(4));
            shared->handoff.Release();
        }
        return ms;
    };
    CHECK(pass(4));
    CHECK(p.woken == std::vector<int>{4});
    p.woken.clear();
    p.onWait = nullptr;
    const uint64_t start = p.now;

    p.workers[4] = CIcaRoutingOps::Worker::Ready;
    SUBCASE("the worker takes the message and gives the buffer back")
    {
        p.onWait = [&](uint32_t) {
            CHECK(shared->length == 44u);
            REQUIRE(shared->handoff.Take(4));
            shared->handoff.Release();
            return 5u;
        };
        CHECK(pass(4));
        CHECK(p.woken == std::vector<int>{4});
    }
    SUBCASE("nobody takes it: withdrawn after 1500 ms, and a late taker finds nothing")
    {
        CHECK_FALSE(pass(4));
        CHECK(p.now == start + kHandoffWaitMs);
        CHECK(Traced(L"pass_the_message: Timeout"));
        CHECK(shared->handoff.IsFree());
        CHECK_FALSE(shared->handoff.Take(4));
    }
    SUBCASE("taken and still held at the deadline: waited for until given back, or the exit")
    {
        int waits = 0, releaseAt = 5, exitAt = 0;
        p.onWait = [&](uint32_t ms) {
            if (waits++ == 0)
                REQUIRE(shared->handoff.Take(4));
            if (waits == releaseAt)
                shared->handoff.Release();
            if (waits == exitAt)
                p.SetExit();
            return ms;
        };
        CHECK_FALSE(pass(4));
        CHECK(waits == 5);
        CHECK(shared->handoff.IsFree());
        waits = 0, releaseAt = 0, exitAt = 3;
        CHECK_FALSE(pass(4));
        CHECK(waits == 3);
        CHECK_FALSE(shared->handoff.IsFree());   // the next read waits for it too, or the thread ends
    }
}
