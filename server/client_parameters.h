// What the client device asked for in its "SEND": the read cap, the target
// throughput and the chunking of the server's replies. The control thread
// owns one value for its session, writes it from every SEND, and hands it
// to its dispatch and to every file object it creates; shared, because a
// worker left running may outlive the thread. Portable.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

struct CClientParameters
{
    std::atomic<uint32_t> dwMaxBlockKB{0};   // read cap in KB; 0: none
    std::atomic<uint32_t> dwTargetRate{0};   // KB/s the reads adapt to; 0: no adaptation
    std::atomic<uint32_t> dwChunking{1};     // replies at the chunk limit or longer are cut (RDP)
};

using ClientParametersPtr = std::shared_ptr<CClientParameters>;
