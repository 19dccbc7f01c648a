// Who may open the bench's instrument pipes: this user's programs on this
// machine, no one else, as a USB device belongs to the desk it is plugged into.
#pragma once

#include <windows.h>

namespace ostrel::winbench {

// Clients of one instrument's pipe at a time: a program's session holds one
// handle, and a few programs may share a bench; a loop that opens and never
// closes is refused before it takes the machine's handles.
constexpr DWORD kPipeInstances = 16;

// Pipe mode flags that keep clients on other machines out.
constexpr DWORD kLocalClientsOnly = PIPE_REJECT_REMOTE_CLIENTS;

// A descriptor that grants this process's user and the system, no one else;
// nullptr (the system's default) if the user's SID cannot be had. Made once.
SECURITY_ATTRIBUTES *CurrentUserOnly();

} // namespace ostrel::winbench
