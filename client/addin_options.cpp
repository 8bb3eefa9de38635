#include "addin_options.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool Number(const std::string &text, uint32_t max, uint32_t *out)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v > max)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool Size(const std::string &text, int32_t *width, int32_t *height)
{
    const size_t x = text.find('x');
    uint32_t w = 0, h = 0;
    if (x == std::string::npos || !Number(text.substr(0, x), 65535, &w) || !Number(text.substr(x + 1), 65535, &h) ||
        w == 0 || h == 0)
        return false;
    *width = static_cast<int32_t>(w);
    *height = static_cast<int32_t>(h);
    return true;
}

} // namespace

AddinOptions ParseAddinOptions(const std::vector<std::string> &args, std::vector<std::string> *errors)
{
    AddinOptions o;
    for (const std::string &arg : args) {
        const size_t colon = arg.find(':');
        const std::string key = arg.substr(0, colon);
        const std::string value = colon == std::string::npos ? std::string() : arg.substr(colon + 1);
        bool ok = true;
        uint32_t n = 0;
        if (key == "log" && !value.empty())
            o.logFile = value;
        else if (key == "ica" && value.empty())
            o.ica = true;
        else if (key == "readcap" && (ok = Number(value, 4096, &n)))
            o.device.readCap = n;
        else if (key == "rate" && (ok = Number(value, 1u << 20, &n)))
            o.device.targetRate = n;
        else if (key == "chunking" && (ok = Number(value, 1, &n)))
            o.device.chunking = n;
        else if (key == "policy" && (ok = Number(value, UINT32_MAX, &n))) {
            o.device.hasPolicy = true;
            o.device.policy = n;
        } else if (key == "timeout" && (ok = Number(value, 600000, &n) && n >= 1000))
            o.device.timeoutMs = n;
        else if (key == "block" && (ok = Number(value, 4096, &n) && n >= 4))
            o.blockKB = n;
        else if (key == "ahead" && (ok = Number(value, 64, &n)))
            o.aheadBlocks = n;
        else if (key == "vo" && !value.empty())
            o.vo = value;
        else if (key == "ao" && !value.empty())
            o.ao = value;
        else if (arg == "drain")
            o.drain = true;
        else if (arg == "sink")
            o.sink = true;
        else if (arg == "parent:root")
            o.rootParent = true;
        else if (key == "desktop")
            ok = Size(value, &o.desktopWidth, &o.desktopHeight);
        else
            ok = false;
        if (!ok)
            errors->push_back("option \"" + arg + "\" not understood, ignored");
    }
    // A read never asks for more than the server will give.
    if (o.device.readCap != 0 && o.blockKB > o.device.readCap)
        o.blockKB = o.device.readCap;
    // The session keeps the blocks read ahead, and one being read.
    o.device.readAheadBlocks = o.aheadBlocks + 1;
    return o;
}
