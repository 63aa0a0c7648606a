// What both servers check before they listen: that the files they must write can be
// written, and that no half-written temporary file of an earlier run is left behind.
#pragma once
#include <string>

// Checks that today's log file and the Db/, Cookie/ and olm/ folders of the configured data
// folder can be written. Each problem is printed on standard error, naming the program;
// false when there was any.
bool CheckDataFolders(const char* program);

// Removes what an interrupted atomic write left in the data folder, Db/ and Cookie/
// (older than a minute, so the other server's write in progress is never touched), with
// one log line per file.
void RemoveStaleTemporaries();
