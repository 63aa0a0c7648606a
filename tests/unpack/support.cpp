#include "tests/unpack/support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "unpack/unpack.h"

namespace unpack_test {

namespace fs = std::filesystem;

std::string CorpusDir() {
  const std::string dir = std::string(VORN_SOURCE_DIR) + "/tests/unpack/data";
  return fs::exists(dir + "/EXPECTED.tsv") ? dir : "";
}

std::vector<std::map<std::string, std::string>> ReadTsv(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::map<std::string, std::string>> rows;
  std::vector<std::string> header;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream split(line);
    std::string field;
    while (std::getline(split, field, '\t')) fields.push_back(field);
    if (header.empty()) {
      header = fields;
      continue;
    }
    std::map<std::string, std::string> row;
    for (size_t i = 0; i < header.size(); ++i) row[header[i]] = i < fields.size() ? fields[i] : "";
    rows.push_back(std::move(row));
  }
  return rows;
}

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(std::array<uint32_t, 8>& h, const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = (uint32_t{block[4 * i]} << 24) | (block[4 * i + 1] << 16) | (block[4 * i + 2] << 8) | block[4 * i + 3];
  }
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += k;
}

}  // namespace

std::string Sha256(const void* data, size_t size) {
  std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const auto* p = static_cast<const uint8_t*>(data);
  size_t i = 0;
  for (; i + 64 <= size; i += 64) Compress(h, p + i);
  uint8_t tail[128] = {};
  const size_t rest = size - i;
  std::memcpy(tail, p + i, rest);
  tail[rest] = 0x80;
  const size_t tailSize = rest < 56 ? 64 : 128;
  const uint64_t bits = uint64_t{size} * 8;
  for (int b = 0; b < 8; ++b) tail[tailSize - 1 - b] = static_cast<uint8_t>(bits >> (8 * b));
  for (size_t t = 0; t < tailSize; t += 64) Compress(h, tail + t);
  char hex[65];
  for (int w = 0; w < 8; ++w) std::snprintf(hex + 8 * w, 9, "%08x", h[w]);
  return hex;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string FileSha256(const std::string& path) {
  const std::string bytes = ReadFile(path);
  return Sha256(bytes.data(), bytes.size());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ScratchDir::ScratchDir() {
  char templ[] = "/tmp/unpack-test-XXXXXX";
  path_ = mkdtemp(templ);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Read-only files and folders must become writable to go.
  for (auto& entry : fs::recursive_directory_iterator(path_, ec)) {
    fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::vector<std::string> ScratchDir::Files() const {
  std::vector<std::string> out;
  for (auto& entry : fs::recursive_directory_iterator(path_)) {
    if (entry.is_regular_file()) out.push_back(fs::relative(entry.path(), path_).string());
  }
  return out;
}

namespace {

struct Run_ {
  std::string dir;
  std::vector<Extracted>* files = nullptr;
};
Run_ g_run;

int32_t Collect(int32_t code, void* record) {
  auto& files = *g_run.files;
  if (code == UNPACK_BEFORE_FILE) {
    auto& f = *static_cast<UnpackFileRecord*>(record);
    Extracted e;
    e.name = f.name;
    e.size = f.size;
    e.dateTime = f.dateTime;
    e.attributes = f.attributes;
    e.target = g_run.dir + "/" + std::to_string(files.size());
    std::snprintf(f.targetPath, sizeof f.targetPath, "%s", e.target.c_str());
    files.push_back(e);
    return 1;
  }
  if (code == UNPACK_PROGRESS) {
    auto& p = *static_cast<UnpackProgressRecord*>(record);
    Extracted& e = files.back();
    e.progressTotal += p.chunkLength;
    e.progressConsistent = e.progressConsistent && p.written == e.progressTotal && p.size == e.size &&
                           std::strcmp(p.targetPath, e.target.c_str()) == 0 && p.chunk != nullptr;
    e.lastWritten = p.written;
  }
  if (code == UNPACK_AFTER_FILE) files.back().closed = true;
  return 0;
}

}  // namespace

int32_t ExtractAll(const std::string& cabinet, const std::string& dir, std::vector<Extracted>& files) {
  g_run.dir = dir;
  g_run.files = &files;
  if (Open(cabinet.c_str()) != 1) return 0;
  const int32_t result = Enumerate(Collect);
  Close();
  return result;
}

}  // namespace unpack_test
