// The single-instance rule of both programs: a named, manual-reset event
// whose existence alone counts (its state is never used). It lives as long
// as some process holds a handle to it, so it disappears with the program
// that holds it, also when that program ends abnormally.
#pragma once

#include "handle_win.h"

enum class MarkerState { Created, AlreadyExists, Failed };

// Creates (or opens) the named event; `state` tells which. The handle is
// empty only when the creation failed.
inline CHandle CreateInstanceMarker(const wchar_t *name, MarkerState *state)
{
    CHandle marker(::CreateEventW(nullptr, TRUE, FALSE, name));
    if (!marker)
        *state = MarkerState::Failed;
    else
        *state = ::GetLastError() == ERROR_ALREADY_EXISTS ? MarkerState::AlreadyExists : MarkerState::Created;
    return marker;
}
