// The callback contract of Open/Enumerate/Close on cabinets made here with
// gcab, compared with the input files and with cabextract.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <random>

#include "tests/unpack/support.h"
#include "unpack/unpack.h"

namespace unpack_test {
namespace {

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (auto& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

std::string Text(size_t size) {
  std::string out;
  for (unsigned i = 0; out.size() < size; ++i) out += "line " + std::to_string(i % 977) + " of some repeated text\n";
  out.resize(size);
  return out;
}

bool HaveTool(const char* name) { return Shell(std::string("command -v ") + name + " >/dev/null 2>&1") == 0; }

// Writes the inputs and packs them with gcab; returns the cabinet's path.
std::string MakeCabinet(const ScratchDir& dir, bool compress, const std::map<std::string, std::string>& files) {
  std::string names;
  for (const auto& [name, bytes] : files) {
    WriteFile(dir.Path() + "/" + name, bytes);
    names += " " + name;
  }
  const std::string cab = dir.Path() + (compress ? "/mszip.cab" : "/stored.cab");
  const std::string cmd = "cd " + dir.Path() + " && gcab -c -n" + (compress ? " -z " : " ") + cab + names + " >/dev/null";
  return Shell(cmd) == 0 ? cab : "";
}

const std::map<std::string, std::string>& Inputs() {
  static const std::map<std::string, std::string> files = {
      {"empty.bin", ""},
      {"one.txt", "x"},
      {"random.bin", RandomBytes(100000, 7)},
      {"text.txt", Text(300000)},
      {"block.bin", RandomBytes(32768, 9)},
  };
  return files;
}

class Api : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("gcab")) GTEST_SKIP() << "gcab not installed";
    cab_ = MakeCabinet(input_, true, Inputs());
    ASSERT_FALSE(cab_.empty());
  }
  ScratchDir input_;
  ScratchDir out_;
  std::string cab_;
};

TEST_F(Api, GcabCabinetsMatchInputsAndCabextract) {
  for (bool compress : {false, true}) {
    ScratchDir in;
    ScratchDir out;
    const std::string cab = MakeCabinet(in, compress, Inputs());
    std::vector<Extracted> got;
    ASSERT_EQ(1, ExtractAll(cab, out.Path(), got));
    ASSERT_EQ(Inputs().size(), got.size());
    for (const auto& e : got) {
      const std::string& original = Inputs().at(e.name);
      EXPECT_EQ(Sha256(original.data(), original.size()), FileSha256(e.target)) << e.name;
      EXPECT_EQ(original.size(), e.progressTotal) << e.name;
    }
    if (!HaveTool("cabextract")) continue;
    ScratchDir reference;
    ASSERT_EQ(0, Shell("cabextract -q -d " + reference.Path() + " " + cab));
    for (const auto& e : got) EXPECT_EQ(FileSha256(reference.Path() + "/" + e.name), FileSha256(e.target));
  }
}

// A callback whose answers the tests set.
struct Script {
  int32_t progressAnswer = 0;
  int32_t afterAnswer = 0;
  std::string target;  // "" leaves the path empty
  int offered = 0;
  int progressCalls = 0;
  int afterCalls = 0;
};
Script g_script;

int32_t Scripted(int32_t code, void* record) {
  if (code == UNPACK_BEFORE_FILE) {
    auto& f = *static_cast<UnpackFileRecord*>(record);
    EXPECT_EQ('\0', f.targetPath[0]);
    const std::string target = g_script.target.empty() ? "" : g_script.target + std::to_string(g_script.offered);
    std::strncpy(f.targetPath, target.c_str(), sizeof f.targetPath - 1);
    ++g_script.offered;
    return 1;
  }
  if (code == UNPACK_PROGRESS) {
    ++g_script.progressCalls;
    return g_script.progressAnswer;
  }
  ++g_script.afterCalls;
  return g_script.afterAnswer;
}

int32_t RunScript(const std::string& cab, const Script& script) {
  g_script = script;
  if (Open(cab.c_str()) != 1) return -2;
  const int32_t result = Enumerate(Scripted);
  Close();
  return result;
}

TEST_F(Api, MinusOneOnProgressStopsTheWalk) {
  Script s;
  s.target = out_.Path() + "/t";
  s.progressAnswer = -1;
  EXPECT_EQ(0, RunScript(cab_, s));
  EXPECT_EQ(1, g_script.progressCalls);
  EXPECT_EQ(0, g_script.afterCalls);
  // The refused chunk never reached the file.
  EXPECT_EQ(0u, ReadFile(out_.Path() + "/t" + std::to_string(g_script.offered - 1)).size());
}

TEST_F(Api, MinusOneAfterAFileStopsTheWalk) {
  Script s;
  s.target = out_.Path() + "/t";
  s.afterAnswer = -1;
  EXPECT_EQ(0, RunScript(cab_, s));
  EXPECT_EQ(1, g_script.offered);
  EXPECT_EQ(1, g_script.afterCalls);
}

TEST_F(Api, EmptyTargetSkipsTheFile) {
  Script s;
  EXPECT_EQ(1, RunScript(cab_, s));
  EXPECT_EQ(static_cast<int>(Inputs().size()), g_script.offered);
  EXPECT_EQ(0, g_script.progressCalls);
  EXPECT_EQ(0, g_script.afterCalls);
  EXPECT_TRUE(out_.Files().empty());
}

TEST_F(Api, UncreatableTargetStopsTheWalk) {
  Script s;
  s.target = out_.Path() + "/missing/folder/t";
  EXPECT_EQ(0, RunScript(cab_, s));
  EXPECT_EQ(1, g_script.offered);
}

TEST_F(Api, ExistingLongerTargetKeepsItsTail) {
  std::vector<Extracted> got;
  ASSERT_EQ(1, ExtractAll(cab_, out_.Path(), got));
  for (size_t i = 0; i < got.size(); ++i) WriteFile(got[i].target, std::string(got[i].size + 100, 'Z'));
  std::vector<Extracted> again;
  ASSERT_EQ(1, ExtractAll(cab_, out_.Path(), again));
  for (const auto& e : again) {
    const std::string& original = Inputs().at(e.name);
    EXPECT_EQ(original + std::string(100, 'Z'), ReadFile(e.target)) << e.name;
  }
}

TEST_F(Api, OpenEnumerateCloseContract) {
  EXPECT_EQ(1, Close());
  EXPECT_EQ(0, Enumerate(Scripted));
  EXPECT_EQ(0, Open(std::string(256, 'a').c_str()));
  EXPECT_EQ(0, Open(nullptr));
  EXPECT_EQ(1, Open((input_.Path() + "/no-such.cab").c_str()));
  EXPECT_EQ(0, Enumerate(Scripted));
  // A second Open replaces the first.
  EXPECT_EQ(1, Open(cab_.c_str()));
  EXPECT_EQ(0, Enumerate(nullptr));
  g_script = Script{};
  EXPECT_EQ(1, Enumerate(Scripted));
  EXPECT_EQ(1, Enumerate(Scripted));  // any number of walks
  EXPECT_EQ(static_cast<int>(2 * Inputs().size()), g_script.offered);
  EXPECT_EQ(1, Close());
  EXPECT_EQ(1, Close());
  EXPECT_EQ(1, LibMain(nullptr, 0, nullptr));
  EXPECT_EQ(1, LibMain(nullptr, 1, nullptr));
}

TEST_F(Api, PathWithoutFolderIsLookedUpInTheCurrentOne) {
  char old[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(old, sizeof old));
  ASSERT_EQ(0, chdir(input_.Path().c_str()));
  Script s;
  const int32_t result = RunScript("mszip.cab", s);
  ASSERT_EQ(0, chdir(old));
  EXPECT_EQ(1, result);
  EXPECT_EQ(static_cast<int>(Inputs().size()), g_script.offered);
}

TEST_F(Api, EmbeddedCabinetIsFoundWithinTheSearchedRange) {
  std::string prefix = "MZ" + RandomBytes(5000, 3);
  for (size_t at; (at = prefix.find("MSCF")) != std::string::npos;) prefix[at] = 'm';
  const std::string cabinet = ReadFile(cab_);
  const std::string trailer = RandomBytes(777, 4);
  WriteFile(out_.Path() + "/near.exe", prefix + cabinet + trailer);
  std::string far = RandomBytes(300000, 5);
  for (size_t at; (at = far.find("MSCF")) != std::string::npos;) far[at] = 'm';
  WriteFile(out_.Path() + "/far.exe", far + cabinet);
  ScratchDir dir;
  std::vector<Extracted> got;
  ASSERT_EQ(1, ExtractAll(out_.Path() + "/near.exe", dir.Path(), got));
  ASSERT_EQ(Inputs().size(), got.size());
  for (const auto& e : got) {
    const std::string& original = Inputs().at(e.name);
    EXPECT_EQ(Sha256(original.data(), original.size()), FileSha256(e.target)) << e.name;
  }
  std::vector<Extracted> none;
  EXPECT_EQ(0, ExtractAll(out_.Path() + "/far.exe", dir.Path(), none));
  EXPECT_TRUE(none.empty());
}

TEST_F(Api, EveryTruncationOfACabinetFailsCleanly) {
  const std::string cabinet = ReadFile(cab_);
  ScratchDir dir;
  for (size_t size = 0; size < cabinet.size(); size += 1 + size / 3) {
    WriteFile(dir.Path() + "/cut.cab", cabinet.substr(0, size));
    std::vector<Extracted> got;
    EXPECT_EQ(0, ExtractAll(dir.Path() + "/cut.cab", dir.Path(), got)) << size;
  }
}

}  // namespace
}  // namespace unpack_test

namespace unpack_test {
namespace {

int g_nestedEnumerate = -1;
int g_nestedOpen = -1;

int32_t ClosesFromInside(int32_t code, void*) {
  if (code == UNPACK_BEFORE_FILE && g_nestedEnumerate == -1) {
    g_nestedEnumerate = Enumerate(ClosesFromInside);
    g_nestedOpen = Open("/nonexistent.cab");
    Close();
  }
  return 0;
}

TEST_F(Api, CallsFromInsideTheCallbackCannotPullTheEngineAway) {
  ASSERT_EQ(1, Open(cab_.c_str()));
  EXPECT_EQ(1, Enumerate(ClosesFromInside));  // the walk ends normally
  EXPECT_EQ(0, g_nestedEnumerate);
  EXPECT_EQ(0, g_nestedOpen);
  EXPECT_EQ(0, Enumerate(ClosesFromInside));  // the deferred Close took effect
  EXPECT_EQ(1, Close());
}

}  // namespace
}  // namespace unpack_test
