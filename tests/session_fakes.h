// Session operations for tests: an RDP session (Wine's console is none), or
// back to the platform's own decision (console; ICA when "HalvernService"
// exists).
#pragma once

void UseRdpSessionOps();
void UsePlatformSessionOps();
