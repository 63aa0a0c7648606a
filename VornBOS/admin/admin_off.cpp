// Builds without the HTTP library (Windows, or a build that leaves the admin tool out): the
// management API is not there, and a configured [Admin] Listen says so in the log.
#include "VornBOS/admin/admin.h"
#include "server-core/config.h"
#include "server-core/log.h"

void StartAdmin() {
  if (!ReadIniString("Admin", "Listen", "").empty())
    WriteLog("[Admin] Listen ignored: this build has no management API", 11, "", 0);
}

void StopAdmin() {}
