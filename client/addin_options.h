// The add-in's options, as a user gives them after commas:
//   xfreerdp /vc:tarsel,log:/tmp/tarsel.log,readcap:256,rate:2000 /v:server
// Unknown or malformed options are reported and the default kept: a typing
// error must not cost the user the connection.
#pragma once

#include "device_core.h"

#include <cstdint>
#include <string>
#include <vector>

struct AddinOptions
{
    std::string logFile;         // log:FILE, else FreeRDP's log (stderr)
    bool ica = false;            // ica: the one-channel layout ("ZRBCHNL") instead of RDP's
    DeviceParams device;         // readcap:KB rate:KBPS chunking:0|1 policy:N timeout:MS
    // Read ahead: enough that the picture never waits on a round trip, and
    // little enough that the server's progress (which counts the reads)
    // stays close to the picture.
    uint32_t blockKB = 128;      // block:KB, the size of each read
    uint32_t aheadBlocks = 1;    // ahead:N blocks read ahead (libmpv reads a second ahead itself)
    std::string vo;              // vo:DRIVER for libmpv (its own choice by default)
    std::string ao;              // ao:DRIVER
    bool rootParent = false;     // parent:root, the video over the screen itself (no client window)
    int32_t desktopWidth = 0;    // desktop:WxH, when the client does not say
    int32_t desktopHeight = 0;
    // For the benchmarks: drain (files read to their end as fast as they
    // come, not played), sink (the channels' bytes counted, not acted on).
    bool drain = false;
    bool sink = false;
};

// args: the options (not the add-in's own name). Problems go to errors.
AddinOptions ParseAddinOptions(const std::vector<std::string> &args, std::vector<std::string> *errors);
