// token new: the secret the management API of VornBOS asks for, in admin.token of the data
// folder.
#include <iostream>

#include "platform/files.h"
#include "vornadmin/admin.h"
#include "vornadmin/datafolder.h"
#include "vornadmin/output.h"

namespace vornadmin {

namespace {

constexpr size_t kTokenBytes = 32;

}  // namespace

std::string AdminTokenFile(const std::string& data) { return data + "admin.token"; }

std::string NewAdminToken(const std::string& data) {
  uint8_t raw[kTokenBytes];
  if (!plat::RandomBytes(raw, sizeof raw)) throw Failure("the system's random source failed");
  static const char* kHex = "0123456789abcdef";
  std::string token;
  for (uint8_t b : raw) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  std::string path = AdminTokenFile(data);
  std::string text = token + "\n";
  plat::FolderLock hold(path);  // writers of the data folder take turns
  if (!plat::WriteFileAtomic(path, text.data(), text.size(), 0600))
    throw Failure("cannot write " + path + ": " + ErrnoText());
  plat::GiveToFolderOwner(path);
  return token;
}

void TokenCommand(Context& ctx, const std::vector<std::string>& words) {
  if (words.size() != 1 || words[0] != "new") throw UsageError("expected: vornadmin token new");
  AllowOptions(ctx, {});
  // A token nobody asks for would only look like a working API.
  if (kWindowsBuild) NotInWindowsBuild("token new");
  RequireFolder(ctx.data);
  std::string token = NewAdminToken(ctx.data);
  if (ctx.json)
    *ctx.out << JsonObject().Str("token", token).Str("file", AdminTokenFile(ctx.data)).Text() << "\n";
  else
    *ctx.out << token << "\n";
}

}  // namespace vornadmin
