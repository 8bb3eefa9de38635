// What tests of the server's file objects share.
#pragma once

#include "file_rpc.h"
#include "server_globals.h"

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
