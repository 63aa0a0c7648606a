#include "VornBOS/directory/user_index.h"

#include <array>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "VornBOS/directory/dirtext.h"
#include "platform/dir_watch.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "server-core/config.h"
#include "server-core/userdb.h"

namespace {

// The keys held, as the searches name them (profile keys are compared without regard to case).
const std::vector<std::string> kKeys = {"First", "Last", "Nick", "Email"};
constexpr size_t kHeld = 300;  // longest value kept; longer reads go to the file

struct Entry {
  uint32_t uin = 0;
  plat::FileStamp stamp;
  std::array<std::optional<std::string>, 4> values;
};

struct ByListing {
  bool operator()(const std::string& a, const std::string& b) const { return plat::FileNameOrder(a, b); }
};

struct UserIndex {
  std::string dir;
  bool built = false;
  plat::DirWatch watch;
  std::map<std::string, Entry, ByListing> files;  // user files by name, in listing order
  std::set<std::string> links;                    // names that are symbolic links: stamped every time
  const Entry* visiting = nullptr;
};

UserIndex& Index() {
  static UserIndex index;
  return index;
}

void ReadEntry(Entry& e, const std::string& path) {
  auto values = plat::GetProfileStrings("Main", kKeys, path);
  for (size_t i = 0; i < kKeys.size(); ++i) {
    e.values[i] = std::move(values[i]);
    if (e.values[i] && e.values[i]->size() > kHeld) e.values[i]->resize(kHeld);
  }
}

// Looks at one name of the folder again: reads it when its stamp changed, drops it when it is
// no longer a user file.
void Refresh(UserIndex& ix, const std::string& name) {
  std::string path = ix.dir + name;
  std::optional<uint32_t> uin = UserFileUin(path);
  std::optional<plat::FileStamp> stamp = uin ? plat::StampFile(path) : std::nullopt;
  if (!stamp || !stamp->regular) {
    ix.files.erase(name);
    ix.links.erase(name);
    return;
  }
  auto [it, added] = ix.files.try_emplace(name);
  Entry& e = it->second;
  if (stamp->link) ix.links.insert(name); else ix.links.erase(name);
  if (!added && e.stamp == *stamp) return;
  e.uin = *uin;
  e.stamp = *stamp;
  ReadEntry(e, path);
}

// Compares the whole folder with the index.
void Rescan(UserIndex& ix) {
  std::vector<std::string> names = plat::ListFiles(ix.dir, ".ini");
  std::set<std::string, ByListing> present(names.begin(), names.end());
  for (auto it = ix.files.begin(); it != ix.files.end();) {
    if (present.count(it->first)) {
      ++it;
    } else {
      ix.links.erase(it->first);
      it = ix.files.erase(it);
    }
  }
  for (const std::string& name : names) Refresh(ix, name);
}

void Revalidate(UserIndex& ix) {
  if (!ix.built || ix.dir != Cfg.userDir) {
    ix.files.clear();
    ix.links.clear();
    ix.dir = Cfg.userDir;
    ix.watch.Close();
  }
  std::vector<std::string> changed;
  bool complete = ix.built && ix.watch.TakeChanges(changed);
  if (!complete) {
    // The watch starts before the look at the folder, so no change falls between the two.
    ix.watch.Open(ix.dir);
    Rescan(ix);
    ix.built = true;
    return;
  }
  for (const std::string& name : changed) Refresh(ix, name);
  // Notices cover the folder's own entries, not the files that links point to.
  std::vector<std::string> links(ix.links.begin(), ix.links.end());
  for (const std::string& name : links) Refresh(ix, name);
}

std::optional<size_t> KeySlot(const char* key) {
  for (size_t i = 0; i < kKeys.size(); ++i)
    if (SameTextNoCase(kKeys[i], key)) return i;
  return std::nullopt;
}

}  // namespace

void ForEachIndexedUser(const std::function<void(uint32_t uin)>& visit) {
  UserIndex& ix = Index();
  Revalidate(ix);
  for (const auto& [name, entry] : ix.files) {
    ix.visiting = &entry;
    visit(entry.uin);
  }
  ix.visiting = nullptr;
}

std::string IndexedUserString(uint32_t uin, const char* key, const char* def, size_t size) {
  const Entry* e = Index().visiting;
  std::optional<size_t> slot = KeySlot(key);
  if (!e || e->uin != uin || !slot || size == 0 || size - 1 > kHeld)
    return ReadUserString(uin, "Main", key, def, size);
  std::string v = e->values[*slot] ? *e->values[*slot] : std::string(def);
  if (v.size() > size - 1) v.resize(size - 1);
  return v;
}

void ResetUserIndex() {
  UserIndex& ix = Index();
  ix.files.clear();
  ix.links.clear();
  ix.watch.Close();
  ix.built = false;
  ix.visiting = nullptr;
}
