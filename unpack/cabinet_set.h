// The cabinets of one set, opened in order as the walk or the data need them.
#pragma once

#include <string>
#include <vector>

#include "unpack/cab_format.h"
#include "unpack/engine.h"

namespace unpack {

// A folder named by the cabinet (position in the set) and folder index where
// its data begins.
struct FolderKey {
  size_t cabinet = SIZE_MAX;
  uint16_t folder = 0;
  bool operator==(const FolderKey&) const = default;
};

class CabinetSet {
 public:
  CabinetSet(const IoCallbacks& io, ErrorRecord& error, NotifyFn notify, void* user, std::string dir)
      : io_(io), error_(error), notify_(notify), user_(user), dir_(std::move(dir)) {}

  // Opens the first cabinet with `reader`, which stays open on it.
  bool OpenFirst(const std::string& name, Reader& reader);
  // Opens `reader` on cabinet `index`, first taking the next cabinet of the
  // set into the list when it is not there yet.
  const CabinetInfo* Open(size_t index, Reader& reader);
  const CabinetInfo& At(size_t index) const { return chain_[index]; }
  const std::string& Dir() const { return dir_; }
  // True when folder 0 of cabinet `index` carries on the last folder of the one before.
  bool ContinuesIntoFirstFolder(size_t index) const;
  // The folder where the data of folder `folder` of cabinet `cabinet` begins;
  // false when it begins in a cabinet before the first one opened.
  bool Origin(size_t cabinet, uint16_t folder, FolderKey& key) const;
  bool Fail(EngineError code);

 private:
  bool AppendNext(Reader& reader);

  const IoCallbacks& io_;
  ErrorRecord& error_;
  NotifyFn notify_;
  void* user_;
  std::string dir_;
  std::vector<CabinetInfo> chain_;
};

}  // namespace unpack
