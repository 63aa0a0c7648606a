// The session server's event handling: socket events, complete frames and service controls,
// all run on the server thread by the event loop.
#pragma once
#include <cstdint>

#include "platform/event_loop.h"

void HandleWindowMessage(const plat::Message& m);

// The server thread: configuration, listening socket and message loop until stopped.
void ServerThread();
// Called on the main thread for every service control.
void ServiceControl(int control);

// Work that lives beside the loop (the management API): started on the server thread once the
// configuration is loaded and before the loop runs, stopped after the loop has ended.
void SetLoopCompanion(void (*start)(), void (*stop)());
