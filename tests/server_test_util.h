// What tests of the server share: the file table's state and the trace.
#pragma once

#include "file_object.h"

#include <mutex>
#include <string>

// True when no file object holds a slot of the table.
inline bool SlotsFree()
{
    CServerLockGuard guard;
    for (CFileObject *file : g_FileRpcTable) {
        if (file)
            return false;
    }
    return true;
}

// The trace text, recorded while SetTraceHook(RecordTrace) is set.
inline std::mutex g_traceLock;
inline std::wstring g_trace;
inline void RecordTrace(const wchar_t *text)
{
    std::lock_guard<std::mutex> hold(g_traceLock);
    g_trace += text;
}
inline size_t TraceCount(const std::wstring &part)
{
    std::lock_guard<std::mutex> hold(g_traceLock);
    size_t count = 0;
    for (size_t at = g_trace.find(part); at != std::wstring::npos; at = g_trace.find(part, at + 1))
        ++count;
    return count;
}
inline bool Traced(const std::wstring &part) { return TraceCount(part) != 0; }
