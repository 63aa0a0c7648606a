// What both servers share around their event loop: the listening socket's start-up with its
// log lines, the message loop, and service controls carried into the loop.
#pragma once
#include <cstdint>
#include <functional>

#include "platform/event_loop.h"

// Posted by the control handler so the control's work runs between two events.
constexpr uint32_t WM_SERVICE_CONTROL = plat::WM_USER + 10;

struct ListenerTexts {
  const char* createFailed;  // the event loop could not be created
  const char* socketFailed;
  const char* bindFailed;
  const char* listenFailed;
  const char* loopFailed;
  const char* program = "";  // names the server in the standard-error line of a start-up failure
  // Accepted connections send small frames at once (TCP_NODELAY). A server that only ever
  // answers a request, one write at a time, loses nothing without it and saves the call.
  bool noDelay = true;
};

// Creates the event loop (published as EventWindow), listens on port on all interfaces and
// runs the loop until WM_QUIT. Returns false after a start-up failure, which is logged (the
// failure line, then the address, port and the system's reason) and printed on standard error.
// `dropped` receives the socket messages whose socket was closed before they were handled.
bool RunSocketServer(uint16_t port, const ListenerTexts& texts, const plat::EventLoop::Handler& handler,
                     plat::Socket& listenSocket, const plat::EventLoop::Handler& dropped = {});

// Called on the main thread: hands the control to the server thread. A control that comes
// before the loop runs is kept and handed over as soon as it does.
void PostServiceControl(int control);

// Work for the end of each event round, after the handlers of the round and before the loop
// waits for more: the offline store's group commit runs here, so that the acknowledgements
// it queues go out in the same round. Hooks run in the order they were added, then the round's
// frames are written, then its log lines.
void AddRoundEndHook(std::function<void()> hook);

// Thread-safe: posts a message to the running loop; false when no loop runs (not started yet,
// or ended), so a caller on another thread never waits for a loop that is not there.
bool PostToServerLoop(uint32_t msg, uintptr_t wParam, intptr_t lParam = 0);
