// Writes stored lists off the event loop: one thread replaces the files durably, one at a time
// in the order asked, and reports each result to the loop as WM_SSI_WRITTEN (wParam the user
// number, lParam 1 when the file is on the disk). Without a running loop (tools, tests) the
// write happens at once and the report is handed to the callback directly.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "platform/event_loop.h"

constexpr uint32_t WM_SSI_WRITTEN = plat::WM_USER + 20;

void SetListWrittenCallback(std::function<void(uint32_t uin, bool ok)> done);
void WriteListLater(uint32_t uin, std::string path, std::string text);
// Waits until every write asked for is done (their reports may still be on their way).
void DrainListWrites();
