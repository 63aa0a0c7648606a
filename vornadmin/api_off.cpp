// The Windows build has no management API (VornBOS.exe does not serve it, and the HTTP client
// is Linux-only): its commands say so and fail; user lock and unlock change the user file.
#include "vornadmin/admin.h"

namespace vornadmin {

ApiReply CallApi(Context&, const std::string&, const std::string&, const std::string&) {
  throw Unreachable("the Windows build has no management API");
}

void ExpectOk(const ApiReply& reply) {
  if (reply.status < 200 || reply.status >= 300) throw Failure("HTTP status " + std::to_string(reply.status));
}

void OnlineCommand(Context&, const std::vector<std::string>&) { NotInWindowsBuild("online"); }
void KickCommand(Context&, const std::vector<std::string>&) { NotInWindowsBuild("kick"); }
void StatsCommand(Context&, const std::vector<std::string>&) { NotInWindowsBuild("stats"); }
void ReloadCommand(Context&, const std::vector<std::string>&) { NotInWindowsBuild("reload"); }

}  // namespace vornadmin
