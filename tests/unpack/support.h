// Helpers for the cabinet tests: the corpus folder, a scratch folder, a
// SHA-256, and one extraction through the library's exports.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace unpack_test {

// The shared cabinet corpus, or "" when it is not present.
std::string CorpusDir();
// Rows of a tab-separated file with a header line, as column -> value.
std::vector<std::map<std::string, std::string>> ReadTsv(const std::string& path);

std::string Sha256(const void* data, size_t size);
std::string FileSha256(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// Runs a shell command and returns its exit status.
int Shell(const std::string& command);

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& Path() const { return path_; }
  // Every regular file below the folder, as paths relative to it.
  std::vector<std::string> Files() const;

 private:
  std::string path_;
};

struct Extracted {
  std::string name;
  uint32_t size = 0;
  uint32_t dateTime = 0;
  uint32_t attributes = 0;
  std::string target;
  uint64_t progressTotal = 0;  // sum of the chunk lengths shown
  uint32_t lastWritten = 0;    // "written" of the last chunk
  bool progressConsistent = true;
  bool closed = false;  // code 2 was seen
};

// Extracts every file of `cabinet` into `dir` (targets named 0, 1, ...).
// Returns Enumerate's result.
int32_t ExtractAll(const std::string& cabinet, const std::string& dir, std::vector<Extracted>& files);

}  // namespace unpack_test
