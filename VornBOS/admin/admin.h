// The management API of the session server: an HTTP listener on a thread of its own
// ([Admin] Listen of vorn.ini), which hands everything that touches sessions to the event
// loop as a posted call and waits for the answer with a time-out.
#pragma once
#include <cstdint>
#include <functional>

#include "platform/event_loop.h"

constexpr uint32_t WM_ADMIN_CALL = plat::WM_USER + 60;

// Server thread, before the loop runs: starts the listener when [Admin] Listen is set.
void StartAdmin();
// Server thread, after the loop ended: stops the listener and waits for its threads.
void StopAdmin();

// Any thread: runs work on the loop thread and waits at most timeoutMs for it to finish.
// False when no loop runs or it did not get to the work in time (the work may still run
// later, so it must own what it touches).
bool RunOnLoop(std::function<void()> work, int timeoutMs);
// Loop thread: runs a call posted by RunOnLoop.
void HandleAdminCall(const plat::Message& m);
