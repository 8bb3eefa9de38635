#include "command_loop.h"

#include "protocol.h"
#include "trace.h"

#include <cstring>

namespace {

constexpr wchar_t kTransmitFailed[] = L"Failed to transmit data to client!";

// Keeps the queue for the thread the session's connect starts.
void HoldWhileDisconnected(CPlayerCommandQueue &queue, CPlayerLoopPlatform &platform)
{
    queue.PutBackLast();
    PYX_TRACE(L"The session is disconnected: %d commands wait for the reconnect\r\n", static_cast<int>(queue.Count()));
    platform.WaitForStop(kWaitForever);
}

} // namespace

void RunPlayerCommandLoop(CPlayerCommandQueue &queue, CPlayerLoopPlatform &platform)
{
    unsigned char buffer[kPlayerMessageBufferSize];
    bool failureShown = false;   // since the last write that succeeded
    for (;;) {
        uint32_t waitResult = 0;
        const CPlayerLoopPlatform::Wake wake = platform.WaitForWork(&waitResult);
        if (wake == CPlayerLoopPlatform::Wake::Stop)
            return;
        if (wake == CPlayerLoopPlatform::Wake::Failed) {
            PYX_TRACE(L"\r\nProcessFileRpc:WaitForMultipleObjects failed dwEvent = %d\r\n", waitResult);
            return;
        }

        platform.ResetCommandEvent();
        std::memset(buffer, 0, sizeof buffer);
        uint32_t length = 0;
        const int composed = queue.ComposeCommandBuffer(buffer, sizeof buffer, &length);
        if (composed == QUEUE_EMPTY)
            continue;
        // Look again for a further command once this one is done with, also
        // after a command that could not be composed, so none is stranded.
        platform.SetCommandEvent();
        if (composed == QUEUE_REFUSED) {
            PYX_TRACE(L"pCPlayerCommands->ComposeCommandBuffer returned error!\r\n");
            continue;
        }
        if (!platform.IsSessionConnected()) {
            HoldWhileDisconnected(queue, platform);
            return;
        }

        if (!platform.AcquireMutex(kPlayerMutexWaitMs))
            continue;   // another program of the session holds the channel: this command is dropped
        uint32_t written = 0;
        const bool ok = platform.WriteMessage(buffer, length, &written);
        // The mutex is given back before a box waits for the user, so other
        // writers of the session are not held up by it.
        platform.ReleaseMutex();
        PYX_TRACE(L"Written %d bytes\r\n", written);
        if (ok && written == length) {
            failureShown = false;
            continue;
        }
        if (platform.WaitForStop(kDisconnectSettleMs)) {
            // Cancelled by the stop (the window closes or restarts the
            // thread): no box; a restart sends the command once more.
            PYX_TRACE(L"The write was cancelled by the stop event\r\n");
            queue.PutBackLast();
            return;
        }
        if (!platform.IsSessionConnected()) {
            // Nobody is there to answer a box: the gate turns it into its
            // trace line.
            MayShowBox(kTransmitFailed);
            HoldWhileDisconnected(queue, platform);
            return;
        }
        if (failureShown) {
            PYX_TRACE(L"Failed to transmit data to client! (again; no box until a write succeeds)\r\n");
            continue;
        }
        failureShown = true;
        queue.EnterBox();
        platform.ShowMessageBox(kTransmitFailed);
        queue.LeaveBox();
        if (queue.RestartPending())
            return;   // a connect came meanwhile: start over on a fresh channel
    }
}
