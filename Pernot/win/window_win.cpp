// The plug-in's window-system calls on Windows: a real thread timer (SetTimer without a
// window, delivered by the host's message loop) and MessageBox, which goes through a
// replaceable hook so that a host without a display (or a test) can take the boxes.
#include "Pernot/window.h"

// The few user32 calls, declared with the plug-in's own types: the host header defines
// window handles of its own, so <windows.h> cannot be included here.
extern "C" {
__declspec(dllimport) UINT_PTR __stdcall SetTimer(void* window, UINT_PTR id, UINT elapseMs, void* proc);
__declspec(dllimport) int __stdcall KillTimer(void* window, UINT_PTR id);
__declspec(dllimport) int __stdcall MessageBoxA(void* owner, const char* text, const char* caption, UINT type);
}

namespace pernot {
namespace {

constexpr UINT kMbOk = 0;
constexpr int kMaxTimers = 8;

struct TimerSlot {
  UINT_PTR id = 0;
  TIMERPROC proc = nullptr;
};
TimerSlot g_timers[kMaxTimers];

using MessageBoxHook = int(__stdcall*)(const char* text, const char* caption);
MessageBoxHook g_messageBoxHook = nullptr;

// Called by DispatchMessage for WM_TIMER of a thread timer.
void __stdcall TimerTrampoline(void*, UINT, UINT_PTR id, DWORD) {
  for (const TimerSlot& t : g_timers)
    if (t.id == id && t.proc) t.proc(id);
}

}  // namespace

UINT_PTR StartTimer(int intervalMs, TIMERPROC proc) {
  for (TimerSlot& t : g_timers) {
    if (t.id != 0) continue;
    t.id = ::SetTimer(nullptr, 0, static_cast<UINT>(intervalMs), reinterpret_cast<void*>(&TimerTrampoline));
    t.proc = t.id ? proc : nullptr;
    return t.id;
  }
  return 0;
}

void StopTimer(UINT_PTR timerId) {
  if (timerId == 0) return;
  ::KillTimer(nullptr, timerId);
  for (TimerSlot& t : g_timers)
    if (t.id == timerId) t = TimerSlot{};
}

void ShowMessage(const char* text, const char* caption) {
  if (g_messageBoxHook)
    g_messageBoxHook(text, caption);
  else
    ::MessageBoxA(nullptr, text, caption, kMbOk);
}


}  // namespace pernot

// Replaces MessageBox for the plug-in's boxes (null restores MessageBox).
extern "C" __declspec(dllexport) void __stdcall PernotSetMessageBoxHook(pernot::MessageBoxHook hook) {
  pernot::g_messageBoxHook = hook;
}
