// Names of the session's kernel objects that the two programs share. They
// carry no namespace prefix, so each belongs to the user's own session.
#pragma once

// Exists while PyxVideoServer runs in the session; only its existence counts.
inline constexpr wchar_t kServerInstanceMarkerName[] = L"E81C7CD3-0C53-42cd-BDA9-7BF7647FA44E";
// Manual-reset; set by the server's control thread as soon as it runs.
inline constexpr wchar_t kServerReadyEventName[] = L"93924C0B-2B87-433e-8C3A-77C7ADD95D13";
// Exists while PyxUserInterface runs in the session.
inline constexpr wchar_t kPlayerInstanceMarkerName[] = L"7268A0DE-A180-4b79-81D3-1291420D7FE5";
// Held around each write of a player command.
inline constexpr wchar_t kPlayerMutexName[] = L"PyxUserInterface Mutex";
// The title the running player window is found by.
inline constexpr wchar_t kPlayerWindowTitle[] = L"Tarsel Player";
