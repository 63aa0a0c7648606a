// Checks of the Windows platform layer, run under Wine: the profile engine against the
// system's own profile functions, the atomic replacement, FindFirstFile ordering, the
// registry data-path setting in its three states, the storage guarantees, and the
// hidden-window event loop with a loopback connection. Prints "PLATFORM CHECK OK" when every check holds.
#include <winsock2.h>
#include <windows.h>
// The profile engine has functions of these names; the system ones are called as ...A.
#undef GetProfileString
#undef WriteProfileString

#include <cstdio>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/net.h"
#include "platform/system.h"

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
  if (!ok) ++g_failures;
}

void EventLoopOverLoopback();                   // platform_check_loop.cpp
void StorageGuarantees(const std::string& dir);  // platform_check_files.cpp

namespace {

std::string TempDir() {
  char base[MAX_PATH];
  GetTempPathA(sizeof base, base);
  std::string dir = std::string(base) + "vorn-platform-check-" + std::to_string(GetCurrentProcessId()) + "\\";
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

std::string SystemProfile(const char* section, const char* key, const char* def, const std::string& file) {
  char buf[300];
  GetPrivateProfileStringA(section, key, def, buf, sizeof buf, file.c_str());
  return buf;
}

void ProfileMatchesTheSystem(const std::string& dir) {
  const std::string file = dir + "vorn.ini";
  const char text[] = "[Main]\r\n  BOS_Port =  5191  \r\nName=\"quoted value\"\r\nEmpty=\r\n[Lists]\r\n0=42\r\n";
  Check(plat::WriteFileAtomic(file, text, sizeof text - 1), "profile file written");
  struct Case {
    const char *section, *key, *def;
  } cases[] = {{"main", "bos_port", "x"}, {"MAIN", "Name", "x"}, {"Main", "Empty", "x"},
               {"Main", "Missing", "dflt"}, {"Nowhere", "0", "-"}, {"lists", "0", "-"}};
  for (const Case& c : cases) {
    std::string ours = plat::GetProfileString(c.section, c.key, c.def, 300, file);
    std::string sys = SystemProfile(c.section, c.key, c.def, file);
    Check(ours == sys, std::string("[") + c.section + "] " + c.key + ": \"" + ours + "\" as the system reads it");
  }
  Check(plat::WriteProfileString("Lists", "1", std::string("77"), file), "profile write");
  Check(SystemProfile("Lists", "1", "-", file) == "77", "the system reads the written key");
  Check(plat::WriteProfileString("Lists", "0", std::nullopt, file), "profile delete");
  Check(SystemProfile("Lists", "0", "-", file) == "-", "the deleted key is gone for the system too");
  Check(plat::RemoveStaleTempFiles(dir, 0).empty(), "atomic replacement leaves no temporary file");
}

void FilesComeInNumberOrder(const std::string& dir) {
  const std::string db = dir + "Db\\";
  CreateDirectoryA(db.c_str(), nullptr);
  for (const char* n : {"10.ini", "9.ini", "2.ini", "a.ini", "3.txt"}) plat::WriteFileAtomic(db + n, "x", 1);
  CreateDirectoryA((db + "5.ini").c_str(), nullptr);
  std::vector<std::string> got = plat::ListFiles(db, ".ini");
  std::string names;
  for (const std::string& n : got) names += n + " ";
  // A name without a leading number counts as 0, as on the other systems.
  Check(got == std::vector<std::string>{"a.ini", "2.ini", "9.ini", "10.ini"},
        "FindFirstFile listing in number order: " + names);
}

void DataPathFromTheRegistry() {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarn\\Vorn");
  std::string value;
  Check(plat::ReadDataPathSetting(value) == plat::SettingRead::kNoKey, "no key: key cannot be opened");
  HKEY key;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarn\\Vorn", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  Check(plat::ReadDataPathSetting(value) == plat::SettingRead::kNoValue, "key without value: value cannot be read");
  const char path[] = "C:\\Server\\";
  RegSetValueExA(key, "path", 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof path);
  RegCloseKey(key);
  Check(plat::ReadDataPathSetting(value) == plat::SettingRead::kFound && value == path, "value used unchanged");
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarn\\Vorn");
}

}  // namespace

int main() {
  const std::string dir = TempDir();
  ProfileMatchesTheSystem(dir);
  FilesComeInNumberOrder(dir);
  DataPathFromTheRegistry();
  StorageGuarantees(dir);
  EventLoopOverLoopback();
  Check(plat::kPathSep == '\\' && std::string(plat::kDefaultDataPath) == ".\\", "backslash separator");
  Check(plat::ProgramPath().ends_with("platform_check.exe"), "program path: " + plat::ProgramPath());
  Check(!plat::HostName().empty(), "computer name: " + plat::HostName());
  std::tm now = plat::LocalTimeNow();
  long offset = plat::GmtOffsetSeconds(now);
  Check(offset >= -14 * 3600 && offset <= 14 * 3600, "time-zone offset " + std::to_string(offset));
  Check(!plat::SystemMimeType("no-such-extension-here"), "no MIME type for an unknown extension");
  if (g_failures == 0) std::puts("PLATFORM CHECK OK");
  return g_failures == 0 ? 0 : 1;
}
