#include "VornCmd/msg_file.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "VornCmd/cmd_frames.h"

namespace vorn::cmd {

namespace fs = std::filesystem;

MessageFile LoadMessageFile(const std::string& path) {
  MessageFile mf;
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st) || fs::is_directory(st)) return mf;
  if (!fs::is_regular_file(st)) {
    // A pipe or device has no size to check against the limit; it is never opened.
    mf.result = FileLoad::TooLarge;
    return mf;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return mf;
  const auto size = fs::file_size(path, ec);
  if (ec) {
    mf.result = FileLoad::TooLarge;
    return mf;
  }
  if (size > static_cast<uintmax_t>(kMaxFileMessage)) {
    mf.size = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<long>(size);
    mf.result = FileLoad::TooLarge;
    return mf;
  }
  mf.size = static_cast<long>(size);
  mf.text.assign(static_cast<size_t>(size), '\0');
  in.read(mf.text.data(), static_cast<std::streamsize>(size));
  mf.result = in.gcount() == static_cast<std::streamsize>(size) ? FileLoad::Ok : FileLoad::ReadShort;
  return mf;
}

}  // namespace vorn::cmd
