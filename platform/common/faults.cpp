// The fault plan behind InjectedFault: rules read from VORN_FAULTS or set by a test.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files.h"

namespace plat {
namespace {

struct Rule {
  FileOp op;
  std::string glob;
  unsigned long nth = 1;
  bool andLater = false;
  int err = EIO;
  unsigned long seen = 0;
};

struct Plan {
  std::mutex lock;
  std::vector<Rule> rules;
  std::atomic<bool> any{false};
};

Plan& ThePlan() {
  static Plan plan;
  return plan;
}

// '*' matches any run of characters ('/' included), '?' one character.
bool GlobMatch(const char* g, const char* s) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*s) {
    if (*g == '*') {
      star = g++;
      resume = s;
    } else if (*g == '?' || *g == *s) {
      ++g;
      ++s;
    } else if (star) {
      g = star + 1;
      s = ++resume;
    } else {
      return false;
    }
  }
  while (*g == '*') ++g;
  return *g == 0;
}

bool ParseOp(const std::string& t, FileOp& op) {
  static const std::pair<const char*, FileOp> kOps[] = {{"open", FileOp::Open},   {"read", FileOp::Read},
                                                        {"write", FileOp::Write}, {"fsync", FileOp::Fsync},
                                                        {"rename", FileOp::Rename}, {"unlink", FileOp::Unlink}};
  for (const auto& [name, o] : kOps)
    if (t == name) {
      op = o;
      return true;
    }
  return false;
}

bool ParseErrno(const std::string& t, int& err) {
  static const std::pair<const char*, int> kNames[] = {
      {"ENOSPC", ENOSPC}, {"EIO", EIO},       {"EMFILE", EMFILE}, {"ENFILE", ENFILE},
      {"EACCES", EACCES}, {"EROFS", EROFS},   {"EPERM", EPERM},  
      {"ENOENT", ENOENT}, {"EINTR", EINTR},   {"EAGAIN", EAGAIN}};
  for (const auto& [name, e] : kNames)
    if (t == name) {
      err = e;
      return true;
    }
  char* end = nullptr;
  long v = std::strtol(t.c_str(), &end, 10);
  if (t.empty() || *end != 0 || v <= 0) return false;
  err = static_cast<int>(v);
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

bool ParsePlan(const std::string& text, std::vector<Rule>& rules) {
  for (const std::string& item : Split(text, ';')) {
    if (item.empty()) continue;
    std::vector<std::string> f = Split(item, ':');
    if (f.size() != 4) return false;
    Rule r;
    if (!ParseOp(f[0], r.op) || f[1].empty() || !ParseErrno(f[3], r.err)) return false;
    std::string n = f[2];
    if (!n.empty() && n.back() == '+') {
      r.andLater = true;
      n.pop_back();
    }
    char* end = nullptr;
    r.nth = std::strtoul(n.c_str(), &end, 10);
    if (n.empty() || *end != 0 || r.nth == 0) return false;
    r.glob = f[1];
    rules.push_back(std::move(r));
  }
  return true;
}

bool LoadFromEnvironment() {
  const char* text = std::getenv("VORN_FAULTS");
  if (text && *text) SetFaultPlan(text);
  return true;
}

}  // namespace

bool SetFaultPlan(const std::string& text) {
  std::vector<Rule> rules;
  bool ok = ParsePlan(text, rules);
  if (!ok) rules.clear();
  Plan& p = ThePlan();
  std::lock_guard<std::mutex> hold(p.lock);
  p.rules = std::move(rules);
  p.any = !p.rules.empty();
  return ok;
}

int InjectedFault(FileOp op, const std::string& path) {
  static const bool loaded = LoadFromEnvironment();
  (void)loaded;
  Plan& p = ThePlan();
  if (!p.any.load(std::memory_order_relaxed)) return 0;
  std::lock_guard<std::mutex> hold(p.lock);
  for (Rule& r : p.rules) {
    if (r.op != op || !GlobMatch(r.glob.c_str(), path.c_str())) continue;
    ++r.seen;
    if (r.seen == r.nth || (r.andLater && r.seen > r.nth)) return r.err;
  }
  return 0;
}

FileRead FileRead::Failed(int e) {
  FileRead r;
  r.state = e == ENOENT ? State::Absent : State::Error;
  r.err = e;
  return r;
}

}  // namespace plat
