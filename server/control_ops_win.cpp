#include "control_ops_win.h"

#include "file_rpc_win.h"
#include "file_source.h"
#include "local_name.h"
#include "parked_threads_win.h"
#include "settings_win.h"
#include "handle_win.h"

#include <atomic>

namespace {

class CDoneEvent final : public COpenJobOps::CDoneSignal
{
public:
    CDoneEvent() : m_hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void Set() override { SetEvent(m_hEvent.Get()); }
    HANDLE Get() const { return m_hEvent.Get(); }

private:
    CHandle m_hEvent;
};

} // namespace

bool CWinControlChannel::WriteReply(void *message, uint32_t length)
{
    uint32_t written = 0;
    return m_channel.WriteMessage(message, length, &written) && written == length;
}

void CWinControlChannel::ApplyClientPolicy(uint32_t policy) { ApplyClientPolicyToDialog(policy, m_hDialog); }

std::unique_ptr<COpenJobOps::CDoneSignal> CWinOpenOps::MakeDoneSignal()
{
    auto done = std::make_unique<CDoneEvent>();
    if (!done->Get())
        return nullptr;
    return done;
}

bool CWinOpenOps::StartThread(std::function<void()> body)
{
    return CParkedThreads::Instance().Run(std::move(body));
}

COpenJobOps::Wake CWinOpenOps::WaitDone(CDoneSignal &done, uint64_t deadline)
{
    const ULONGLONG now = GetTickCount64();
    const DWORD ms = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    HANDLE waits[2] = {static_cast<CDoneEvent &>(done).Get(), m_hExit};
    const DWORD r = WaitForMultipleObjects(m_hExit ? 2 : 1, waits, FALSE, ms);
    if (r == WAIT_OBJECT_0)
        return Wake::Done;
    return r == WAIT_OBJECT_0 + 1 ? Wake::Exit : Wake::Deadline;
}

CWinFileOps::CWinFileOps(SessionKind kind, ClientParametersPtr parameters, std::shared_ptr<CIcaShare> share,
                         HANDLE hExit)
    : m_kind(kind), m_pParameters(std::move(parameters)), m_pShare(std::move(share)), m_openOps(hExit)
{
    // Opens and the workers of a whole table of files find their threads
    // already waiting.
    CParkedThreads::Instance().Reserve(kDataChannelCount + 1);
}

CFileRpcRequests *CWinFileOps::CreateFileObject() { return CreateInstance(m_kind, m_pParameters, m_pShare); }

namespace {

// A drive's type, looked up once in a while only: the look-up asks the
// system's mount manager, which costs about as much as an open. Held for the
// process (control threads come and go with the session) as the time it
// goes stale and the type, in one word.
constexpr ULONGLONG kDriveTypeKeptMs = 10000;
std::atomic<ULONGLONG> g_driveTypes[26];

UINT DriveType(WireChar drive)
{
    std::atomic<ULONGLONG> &known = g_driveTypes[drive - u'A'];
    const ULONGLONG now = GetTickCount64();
    ULONGLONG entry = known.load();
    if ((entry >> 8) <= now) {
        const wchar_t root[] = {static_cast<wchar_t>(drive), L':', L'\\', L'\0'};
        entry = ((now + kDriveTypeKeptMs) << 8) | (GetDriveTypeW(root) & 0xFF);
        known.store(entry);
    }
    return static_cast<UINT>(entry & 0xFF);
}

// A name whose open never waits on anyone but this machine: one refused on
// its text, or a file of a fixed or RAM disk reached without a link or
// mount point on the way (one may lead to a share). URLs, shares, removable
// and optical drives, and names without a drive may hang.
bool OpensAtOnce(const WireChar *name)
{
    if (IsUrlName(name))
        return false;
    if (!IsPlainFileName(name))
        return true;
    const WireChar drive = DriveLetterOf(name);
    if (!drive)
        return false;
    const UINT type = DriveType(drive);
    if (type != DRIVE_FIXED && type != DRIVE_RAMDISK)
        return false;
    // Each part's own attributes, from the root down: a link's are its own,
    // not its target's, and nothing past the first link is asked. A part
    // that is not there fails the open at once; any other failure to look
    // counts as a link.
    bool local = true;
    EveryPathPrefix(name, [&local](const WireChar *prefix) {
        const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t *>(prefix));
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            local = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
            return false;
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            local = false;
            return false;
        }
        return true;
    });
    return local;
}

} // namespace

std::shared_ptr<CPendingOpen> CWinFileOps::StartOpen(CFileRpcRequests *file, const WireChar *name,
                                                     int32_t *systemError)
{
    if (OpensAtOnce(name))
        return COpenJob::RunHere(m_openOps, Object(file), name);
    auto job = COpenJob::Start(m_openOps, Object(file), name);
    if (!job)
        *systemError = static_cast<int32_t>(GetLastError());
    return job;
}

