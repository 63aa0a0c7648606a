#include "unpack/cabinet_set.h"

namespace unpack {

bool CabinetSet::Fail(EngineError code) {
  if (error_.error == EngineError::None) error_.error = code;
  return false;
}

bool CabinetSet::OpenFirst(const std::string& name, Reader& reader) {
  CabinetInfo info;
  info.path = dir_ + name;
  if (!reader.Open(info.path)) return Fail(EngineError::CabinetNotFound);
  if (!ReadCabinet(reader, info, error_)) return false;
  chain_.push_back(std::move(info));
  return true;
}

const CabinetInfo* CabinetSet::Open(size_t index, Reader& reader) {
  if (index < chain_.size()) {
    if (!reader.Open(chain_[index].path)) {
      Fail(EngineError::CabinetNotFound);
      return nullptr;
    }
    return &chain_[index];
  }
  if (index != chain_.size() || !AppendNext(reader)) return nullptr;
  return &chain_.back();
}

bool CabinetSet::AppendNext(Reader& reader) {
  const CabinetInfo& prev = chain_.back();
  if (!prev.HasNext()) return Fail(EngineError::CorruptCabinet);
  Notification n;
  n.name = prev.nextName.c_str();
  n.disk = prev.nextDisk.c_str();
  n.cabinetDir = dir_.c_str();
  n.setId = prev.setId;
  n.index = static_cast<uint16_t>(prev.index + 1);
  n.user = user_;
  if (notify_(Notice::NextCabinet, n) == -1) return Fail(EngineError::UserAbort);
  CabinetInfo info;
  info.path = dir_ + prev.nextName;
  // A next cabinet that cannot be opened ends the walk; nobody is asked again.
  if (!reader.Open(info.path)) return Fail(EngineError::CabinetNotFound);
  if (!ReadCabinet(reader, info, error_)) return false;
  if (info.setId != prev.setId || info.index != prev.index + 1) return Fail(EngineError::WrongCabinet);
  if (info.folderReserve != prev.folderReserve || info.dataReserve != prev.dataReserve) {
    return Fail(EngineError::ReserveMismatch);
  }
  chain_.push_back(std::move(info));
  return true;
}

bool CabinetSet::ContinuesIntoFirstFolder(size_t index) const {
  if (index == 0) return chain_[0].continuesFromPrev;
  return chain_[index].continuesFromPrev || chain_[index - 1].continuesToNext;
}

bool CabinetSet::Origin(size_t cabinet, uint16_t folder, FolderKey& key) const {
  while (folder == 0 && ContinuesIntoFirstFolder(cabinet)) {
    if (cabinet == 0) return false;
    --cabinet;
    folder = static_cast<uint16_t>(chain_[cabinet].folders - 1);
  }
  key.cabinet = cabinet;
  key.folder = folder;
  return true;
}

}  // namespace unpack
