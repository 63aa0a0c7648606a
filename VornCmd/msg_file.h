// Loading the text of a message from a file (at most 8000 bytes).
#pragma once
#include <string>

namespace vorn::cmd {

enum class FileLoad {
  Ok,
  OpenFailed,  // missing, not a plain file, or not readable
  TooLarge,    // over 8000 bytes, or its size cannot be known
  ReadShort,   // fewer bytes arrived than the size promised; the rest of `text` is zeros
};

struct MessageFile {
  FileLoad result = FileLoad::OpenFailed;
  long size = -1;  // the file's size, -1 when unknown
  std::string text;
};

MessageFile LoadMessageFile(const std::string& path);

}  // namespace vorn::cmd
