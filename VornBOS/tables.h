// The tables the configuration load builds (broadcast lists, SMS routes) and the work the
// server waits for before it ends (mail threads).
#pragma once
#include "server-core/config.h"

ConfigTables ServerTablesHooks();
void ClearServerTables();
// Logs the broadcast lists and SMS routes after the session dump (level 6).
void DumpServerTables();
void WaitForServerWork();
