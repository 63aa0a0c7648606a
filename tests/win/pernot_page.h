// Drives Pernot's options page the way a user does, through its controls. Plain types: the
// host file includes the plug-in's host header, whose window types clash with <windows.h>.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace page_driver {

// Creates the page from the module and template the plug-in gave in its page record, as a
// child of a window of the host's; null when that fails.
void* Open(void* module, const char* dialogTemplate, void* procedure);
void Close(void* page);
std::string Text(void* page, int id);
void SetText(void* page, int id, const char* text);
bool Checked(void* page, int id);
void Click(void* page, int id);
// The list's rows as "name=0|1" (1: checked).
std::vector<std::string> ListRows(void* page, int id);
void SetListCheck(void* page, int id, int row, bool on);
// Sends the property-sheet apply notification; returns the page's result (0: accepted).
intptr_t Apply(void* page);

}  // namespace page_driver
