// The management API's listener: cpp-httplib on threads of its own, the access checks (address
// filter, bearer token), the console's files, metrics, sessions and messages. What touches
// sessions runs on the event loop through RunOnLoop; the loop never waits for this side.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <memory>
#include <sstream>
#include <thread>

#include "VornBOS/admin/admin.h"
#include "VornBOS/admin/api_internal.h"
#include "VornBOS/admin/metrics.h"
#include "VornBOS/presence/icbm.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "VornBOS/tables.h"
#include "VornCmd/cmd_frames.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "server-core/addr_allow.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "vorn_version.h"
#include "vornadmin/admin.h"

// The console's files and the API document, made into arrays by cmake/embed_files.cmake.
struct EmbeddedFile {
  const char* name;
  const unsigned char* data;
  std::size_t size;
};
extern const EmbeddedFile kEmbeddedFiles[];
extern const std::size_t kEmbeddedFileCount;

namespace admin {

namespace {

constexpr size_t kMaxBody = 64 * 1024;
constexpr size_t kMaxToken = 1024;
constexpr size_t kMaxLimit = 1000;
constexpr int kWorkerThreads = 4;

struct Sample {
  int64_t time;
  int64_t sessions;
  uint64_t messages;
};

struct AdminState {
  std::string data;
  httplib::Server server;
  std::thread listener, sampler;
  std::mutex lock;  // guards allow, history and stopping
  std::condition_variable wake;
  bool stopping = false;
  AddrAllowList allow;
  std::deque<Sample> history;
  int sampleSeconds = 10;
  std::mutex writeLock;
};

AdminState* state = nullptr;

AddrAllowList ReadAllow() {
  std::vector<std::string> bad;
  AddrAllowList list = ParseAddrAllowList(ReadIniString("Admin", "Allow", "127.0.0.1"), bad);
  for (const std::string& b : bad) WriteLog("Bad [Admin] Allow entry: %s", 11, "", 0, b.c_str());
  return list;
}

uint64_t MessagesTotal() {
  const ServerCounters& c = Counters();
  return c.messagesCh1.load() + c.messagesCh2.load() + c.messagesCh4.load() + c.messagesOther.load();
}

void TakeSample() {
  Sample s{static_cast<int64_t>(std::time(nullptr)), Counters().sessions.load(), MessagesTotal()};
  std::lock_guard<std::mutex> hold(state->lock);
  state->history.push_back(s);
  // One hour of samples.
  while (state->history.size() > static_cast<size_t>(3600 / state->sampleSeconds + 1)) state->history.pop_front();
}

void SamplerThread() {
  std::unique_lock<std::mutex> hold(state->lock);
  while (!state->stopping) {
    hold.unlock();
    TakeSample();
    hold.lock();
    state->wake.wait_for(hold, std::chrono::seconds(state->sampleSeconds), [] { return state->stopping; });
  }
}

// The token of admin.token; empty when the file is missing or unreadable (then nobody gets in).
std::string CurrentToken() {
  auto bytes = plat::ReadFileBytes(state->data + "admin.token", kMaxToken);
  if (!bytes) return {};
  std::string t(bytes->begin(), bytes->end());
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
  return t;
}

// Compares in time that does not depend on where the texts differ.
bool SameSecret(const std::string& a, const std::string& b) {
  unsigned diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i % (b.size() + 1)]);
  return diff == 0;
}

// Text of the request for a log line: method and path, cut short.
std::string Shown(const httplib::Request& req) { return (req.method + " " + req.path).substr(0, 120); }

bool NeedsToken(const std::string& path) { return path.rfind("/api/", 0) == 0 || path == "/metrics"; }

// The API's threads yield the processor to the event loop: on a busy machine a burst of
// requests must not delay message routing.
void LowerThreadPriority() {
  static thread_local bool lowered = [] {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
    return true;
  }();
  (void)lowered;
}

httplib::Server::HandlerResponse CheckAccess(const httplib::Request& req, httplib::Response& res) {
  LowerThreadPriority();
  uint32_t peer = 0;
  bool allowed;
  {
    std::lock_guard<std::mutex> hold(state->lock);
    allowed = ParseIPv4(req.remote_addr, peer) && AddrAllowed(state->allow, peer);
  }
  if (!allowed) {
    WriteLog("Admin request refused ([Admin] Allow): %s", 11, req.remote_addr.c_str(), 0, Shown(req).c_str());
    Error(res, 403, "this address may not use the management API");
    res.set_header("Connection", "close");
    return httplib::Server::HandlerResponse::Handled;
  }
  if (!NeedsToken(req.path)) return httplib::Server::HandlerResponse::Unhandled;
  std::string token = CurrentToken();
  std::string given = req.get_header_value("Authorization");
  if (token.empty() || given.rfind("Bearer ", 0) != 0 || !SameSecret(given.substr(7), token)) {
    WriteLog("Admin request without a valid token: %s", 11, req.remote_addr.c_str(), 0, Shown(req).c_str());
    res.set_header("WWW-Authenticate", "Bearer");
    Error(res, 401, token.empty() ? "no admin.token in the data folder (make one with 'vornadmin token new')"
                                  : "missing or wrong bearer token");
    return httplib::Server::HandlerResponse::Handled;
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

void CountResult(const httplib::Request&, const httplib::Response& res) {
  ServerCounters& c = Counters();
  if (res.status == 401)
    Count(c.adminUnauthorized);
  else if (res.status >= 500)
    Count(c.adminServerError);
  else if (res.status >= 400)
    Count(c.adminClientError);
  else
    Count(c.adminOk);
}

const char* ContentType(const std::string& name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (name.ends_with(".yml")) return "application/yaml; charset=utf-8";
  if (name.ends_with(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

void ServeEmbedded(httplib::Server& s, const std::string& urlPath, const std::string& name) {
  for (size_t i = 0; i < kEmbeddedFileCount; ++i) {
    const EmbeddedFile& f = kEmbeddedFiles[i];
    if (name != f.name) continue;
    s.Get(urlPath, [&f](const httplib::Request&, httplib::Response& res) {
      res.set_content(reinterpret_cast<const char*>(f.data), f.size, ContentType(f.name));
      // The page may only load its own files.
      res.set_header("Content-Security-Policy",
                     "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; frame-ancestors 'none'");
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("Cache-Control", "no-cache");
    });
  }
}

// ---- sessions --------------------------------------------------------------------------

struct SessionRow {
  uint32_t uin;
  uint8_t ipExt[4], ipInt[4];
  uint32_t port;
  uint8_t status[4];
  uint32_t since, lastFrame;
  uint8_t caps[kClientCapsSize];
};

std::string Dotted(const uint8_t a[4]) {
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
}

std::string StatusName(uint16_t flags, uint16_t status) {
  if (status == 0xFFFF && flags == 0xFFFF) return "not set";
  if (status & 0x0100) return "invisible";
  if (status & 0x0002) return "do not disturb";
  if (status & 0x0010) return "occupied";
  if (status & 0x0004) return "not available";
  if (status & 0x0001) return "away";
  if (status & 0x0020) return "free for chat";
  return "online";
}

std::string Iso(uint32_t t) {
  std::time_t tt = t;
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string Nick(uint32_t uin) {
  auto v = plat::GetProfileStrings("Main", {"Nick"}, DataFolder() + "Db/" + std::to_string(static_cast<int32_t>(uin)) + ".ini");
  return v[0].value_or("");
}

json SessionJson(const SessionRow& r, const std::string& nick, uint32_t now) {
  uint16_t flags = static_cast<uint16_t>((r.status[0] << 8) | r.status[1]);
  uint16_t status = static_cast<uint16_t>((r.status[2] << 8) | r.status[3]);
  json caps = json::array();
  static const char* kHex = "0123456789abcdef";
  for (size_t off = 0; off + 16 <= kClientCapsSize; off += 16) {
    if (std::all_of(r.caps + off, r.caps + off + 16, [](uint8_t b) { return b == 0; })) continue;
    std::string hex;
    for (size_t i = off; i < off + 16; ++i) {
      hex += kHex[r.caps[i] >> 4];
      hex += kHex[r.caps[i] & 15];
    }
    caps.push_back(hex);
  }
  uint32_t last = r.lastFrame ? r.lastFrame : r.since;
  return {{"uin", r.uin},
          {"nick", nick},
          {"address", Dotted(r.ipExt)},
          {"internal_address", Dotted(r.ipInt)},
          {"port", r.port},
          {"status", status},
          {"status_flags", flags},
          {"status_name", StatusName(flags, status)},
          {"signed_on_at", Iso(r.since)},
          {"signed_on_unix", r.since},
          {"idle_seconds", now > last ? now - last : 0},
          {"capabilities", caps}};
}

void ListSessions(const httplib::Request& req, httplib::Response& res) {
  auto rows = std::make_shared<std::vector<SessionRow>>();
  bool answered = RunOnLoop(
      [rows] {
        rows->reserve(SessionCount());
        ForEachSession([&](const ClientInfo& c) {
          if (!c.isLogged || c.UIN == 0) return;
          SessionRow r;
          r.uin = c.UIN;
          std::copy(c.ipExt, c.ipExt + 4, r.ipExt);
          std::copy(c.ipInt, c.ipInt + 4, r.ipInt);
          r.port = c.Port;
          std::copy(c.Status, c.Status + 4, r.status);
          r.since = c.connectTime;
          r.lastFrame = c.lastFrameTime;
          std::copy(c.clientCaps, c.clientCaps + kClientCapsSize, r.caps);
          rows->push_back(r);
        });
      },
      kLoopTimeoutMs);
  if (!answered) return Error(res, 503, "the session server did not answer in time");
  size_t offset = 0, limit = 0;
  Paging(req, offset, limit);
  std::string q = req.get_param_value("q");
  std::transform(q.begin(), q.end(), q.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  // Nicks come from the user files, read only for the rows shown unless a search needs them all.
  std::vector<std::pair<const SessionRow*, std::string>> matched;
  for (const SessionRow& r : *rows) {
    if (q.empty()) {
      matched.emplace_back(&r, std::string());
      continue;
    }
    std::string nick = Nick(r.uin), low = nick;
    std::transform(low.begin(), low.end(), low.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (std::to_string(r.uin).find(q) != std::string::npos || low.find(q) != std::string::npos)
      matched.emplace_back(&r, nick);
  }
  json page = json::array();
  for (size_t i = offset; i < matched.size() && i < offset + limit; ++i)
    page.push_back(SessionJson(*matched[i].first, q.empty() ? Nick(matched[i].first->uin) : matched[i].second, now));
  Reply(res, 200, {{"total", matched.size()}, {"offset", offset}, {"limit", limit}, {"sessions", page}});
}

void EndSessionRoute(const httplib::Request& req, httplib::Response& res) {
  uint32_t uin = 0;
  if (!ParseNumber(req.matches[1].str(), res, uin)) return;
  bool loopOk = true;
  bool ended = EndSession(uin, loopOk);
  if (!loopOk) return Error(res, 503, "the session server did not answer in time");
  if (!ended) return Error(res, 404, std::to_string(uin) + " is not signed on");
  Reply(res, 200, {{"uin", uin}, {"ended", true}});
}

// ---- messages --------------------------------------------------------------------------

struct SendResult {
  bool built = false;
  size_t online = 0;
  uint64_t stored = 0, refused = 0;
};

// Loop thread: routes a command-style message as the sender number would, through the same
// routing as a client's (lists, SendOnLine, offline store); "everyone" reaches every
// signed-on session but the sender's.
void SendOnLoop(uint32_t from, const std::string& to, const std::string& text, const std::string& peer,
                SendResult& out) {
  bool everyone = to == "everyone";
  std::vector<uint8_t> frame;
  if (!vorn::cmd::BuildMessageFrame(from, everyone ? "0" : to, text, frame) || frame.size() < 6) return;
  ClientInfo sender;
  sender.UIN = from;
  sender.addr = peer;
  sender.in.data.assign(frame.begin() + 6, frame.end());
  sender.in.length = static_cast<uint16_t>(sender.in.data.size());
  out.built = true;
  const ServerCounters& c = Counters();
  uint64_t stored = c.offlineStored.load(), refused = c.offlineRefused.load();
  if (everyone) {
    IcbmMessage m;
    if (!ParseIcbm(sender.in.data.data(), sender.in.length, m)) return;
    CountMessage(m.channel);
    std::vector<ClientInfo*> targets;
    ForEachSession([&](ClientInfo& s) {
      if (s.isLogged && s.UIN != 0 && s.UIN != from) targets.push_back(&s);
    });
    for (ClientInfo* t : targets) DeliverMessage(sender, m, *t, from);
    out.online = targets.size();
  } else {
    uint32_t n = static_cast<uint32_t>(std::stoul(to));
    std::vector<uint32_t> recipients = {n};
    if (const SendList* list = FindList(n)) recipients = list->members;
    for (uint32_t r : recipients)
      if (FindUser(r)) ++out.online;
    RouteMessage(sender);
  }
  // Only the loop thread counts these, so the difference is this message's. The offline
  // copies are appended now and reach the disk with the store's next flush (its own thread).
  out.stored = c.offlineStored.load() - stored;
  out.refused = c.offlineRefused.load() - refused;
}

void SendMessage(const httplib::Request& req, httplib::Response& res) {
  json body;
  uint32_t from = 0;
  if (!ParseObject(req, res, body) || !NumberField(body, "from", res, from)) return;
  if (!body.contains("text") || !body["text"].is_string() || body["text"].get<std::string>().empty())
    return Error(res, 400, "text is missing");
  std::string to;
  if (body.contains("to") && body["to"].is_string() && body["to"].get<std::string>() == "everyone") {
    to = "everyone";
  } else {
    uint32_t n = 0;
    if (!NumberField(body, "to", res, n)) return;
    to = std::to_string(n);
  }
  std::string text;
  if (!TextBytes(body["text"].get<std::string>(), text))
    return Error(res, 400, "text may hold only the characters U+0001 to U+00FF (one byte each)");
  auto result = std::make_shared<SendResult>();
  std::string peer = req.remote_addr;
  if (!RunOnLoop([=] { SendOnLoop(from, to, text, peer, *result); }, kLoopTimeoutMs))
    return Error(res, 503, "the session server did not answer in time");
  if (!result->built) return Error(res, 400, "the text is too long for one message");
  Reply(res, 200, {{"from", from}, {"to", to}, {"delivered_online", result->online},
                   {"stored_offline", result->stored}, {"refused_offline", result->refused}});
}

// ---- server ------------------------------------------------------------------------------

void Health(const httplib::Request&, httplib::Response& res) {
  auto start = std::chrono::steady_clock::now();
  bool ok = RunOnLoop([] {}, kLoopTimeoutMs);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  json j = {{"status", ok ? "ok" : "event loop not answering"}, {"loop_round_trip_ms", ms},
            {"sessions", Counters().sessions.load()}};
  Reply(res, ok ? 200 : 503, j);
}

void History(const httplib::Request&, httplib::Response& res) {
  json samples = json::array();
  int seconds;
  {
    std::lock_guard<std::mutex> hold(state->lock);
    seconds = state->sampleSeconds;
    for (const Sample& s : state->history)
      samples.push_back({{"time", s.time}, {"sessions", s.sessions}, {"messages", s.messages}});
  }
  samples.push_back({{"time", static_cast<int64_t>(std::time(nullptr))},
                     {"sessions", Counters().sessions.load()},
                     {"messages", MessagesTotal()}});
  Reply(res, 200, {{"interval_seconds", seconds}, {"samples", samples}});
}

void AddServerRoutes(httplib::Server& s) {
  ServeEmbedded(s, "/", "index.html");
  ServeEmbedded(s, "/app.js", "app.js");
  ServeEmbedded(s, "/app.css", "app.css");
  ServeEmbedded(s, "/api/openapi.yml", "api.yml");
  s.Get("/metrics", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(MetricsText(), "text/plain; version=0.0.4; charset=utf-8");
  });
  s.Get("/api/stats", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(StatsJson(), "application/json");
  });
  s.Get("/api/stats/history", History);
  s.Get("/api/health", Health);
  s.Get("/api/version", [](const httplib::Request&, httplib::Response& res) {
    Reply(res, 200, {{"product", "Vorn"}, {"server", "VornBOS"}, {"version", VORN_VERSION}});
  });
  s.Post("/api/reload", [](const httplib::Request&, httplib::Response& res) {
    if (!ReloadConfiguration()) return Error(res, 503, "the session server did not answer in time");
    Reply(res, 200, {{"reloaded", true}});
  });
  s.Get("/api/sessions", ListSessions);
  s.Delete(R"(/api/sessions/(\d+))", EndSessionRoute);
  s.Post("/api/messages", SendMessage);
}

bool ParseListen(const std::string& text, std::string& host, int& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  uint32_t addr = 0;
  host = text.substr(0, colon);
  long long p = plat::AtoI(text.substr(colon + 1));
  if (!ParseIPv4(host, addr) || p <= 0 || p > 65535) return false;
  port = static_cast<int>(p);
  return true;
}

}  // namespace

// ---- shared helpers --------------------------------------------------------------------

const std::string& DataFolder() { return state->data; }
std::mutex& WriteLock() { return state->writeLock; }

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void Reply(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(Dump(body), "application/json");
}

void Error(httplib::Response& res, int status, const std::string& text) { Reply(res, status, {{"error", text}}); }

bool ParseObject(const httplib::Request& req, httplib::Response& res, json& out) {
  out = json::parse(req.body, nullptr, false);
  if (out.is_discarded() || !out.is_object()) {
    Error(res, 400, "the body must be a JSON object");
    return false;
  }
  return true;
}

bool ParseNumber(const std::string& text, httplib::Response& res, uint32_t& out) {
  bool digits = !text.empty() && text.size() <= 10 &&
                std::all_of(text.begin(), text.end(), [](unsigned char ch) { return ch >= '0' && ch <= '9'; });
  unsigned long long v = digits ? std::stoull(text) : 0;
  if (v == 0 || v > 0xFFFFFFFFull) {
    Error(res, 400, "'" + text.substr(0, 40) + "' is not a user number (1 to 4294967295)");
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

bool NumberField(const json& body, const char* key, httplib::Response& res, uint32_t& out) {
  if (!body.contains(key)) {
    Error(res, 400, std::string(key) + " is missing");
    return false;
  }
  const json& v = body[key];
  std::string text = v.is_number_unsigned() ? std::to_string(v.get<uint64_t>()) : v.is_string() ? v.get<std::string>() : "";
  return ParseNumber(text, res, out);
}

bool TextBytes(const std::string& utf8, std::string& out) {
  out.clear();
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    if (b == 0) return false;
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else if ((b == 0xC2 || b == 0xC3) && i + 1 < utf8.size()) {
      // The parser has checked the UTF-8; two-byte forms led by C2/C3 are U+0080..U+00FF.
      out += static_cast<char>(((b & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    } else {
      return false;
    }
  }
  return true;
}

void Paging(const httplib::Request& req, size_t& offset, size_t& limit) {
  auto number = [&](const char* key, size_t def) {
    std::string v = req.get_param_value(key);
    bool digits = !v.empty() && v.size() < 10 && std::all_of(v.begin(), v.end(), [](unsigned char ch) { return ch >= '0' && ch <= '9'; });
    return digits ? static_cast<size_t>(std::stoul(v)) : def;
  };
  offset = number("offset", 0);
  limit = std::clamp<size_t>(number("limit", 50), 1, kMaxLimit);
}

bool RunTool(const std::vector<std::string>& args, const std::string& input, httplib::Response& res, json& out) {
  // Options of the command go before "--"; only the words follow it.
  std::vector<std::string> words, options;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i].rfind("--", 0) == 0) {
      options.push_back(args[i]);
      if (args[i] != "--password-stdin" && i + 1 < args.size()) options.push_back(args[++i]);
    } else {
      words.push_back(args[i]);
    }
  }
  std::vector<std::string> argv = {"--data", state->data, "--json"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back("--");
  argv.insert(argv.end(), words.begin(), words.end());
  std::istringstream in(input);
  std::ostringstream o, e;
  int code;
  {
    std::lock_guard<std::mutex> hold(state->writeLock);
    code = vornadmin::RunAdmin(argv, in, o, e, false);
  }
  if (code == vornadmin::kExitOk) {
    out = json::parse(o.str(), nullptr, false);
    if (!out.is_discarded()) return true;
    Error(res, 500, "unexpected output of the user database");
    return false;
  }
  std::string text = e.str();
  text = text.substr(0, text.find('\n'));
  if (text.rfind("vornadmin: ", 0) == 0) text = text.substr(11);
  int status = 500;
  if (code == vornadmin::kExitUsage)
    status = 400;
  else if (text.rfind("no user", 0) == 0 || text.rfind("no list", 0) == 0)
    status = 404;
  else if (text.find("already") != std::string::npos || text.find(" is a ") != std::string::npos)
    status = 409;
  Error(res, status, text);
  return false;
}

bool EndSession(uint32_t uin, bool& loopOk) {
  auto ended = std::make_shared<bool>(false);
  loopOk = RunOnLoop(
      [uin, ended] {
        if (ClientInfo* c = FindUser(uin)) {
          WriteLog("Session ended by the operator", 9, c->addr.c_str(), c->UIN);
          DestroySession(*c);
          *ended = true;
        }
      },
      kLoopTimeoutMs);
  return *ended;
}

bool ReloadConfiguration() {
  bool ok = RunOnLoop(
      [] {
        LoadConfiguration(ServerTablesHooks());
        WriteLog("VornBOS - configuration reloaded (admin)", 11, "", 0);
      },
      kLoopTimeoutMs);
  if (ok) {
    AddrAllowList allow = ReadAllow();
    std::lock_guard<std::mutex> hold(state->lock);
    state->allow = std::move(allow);
  }
  return ok;
}

}  // namespace admin

void StartAdmin() {
  using namespace admin;
  std::string listen = ReadIniString("Admin", "Listen", "");
  if (listen.empty()) return;
  std::string host;
  int port = 0;
  if (!ParseListen(listen, host, port)) {
    WriteLog("Bad [Admin] Listen=%s (ADDRESS:PORT). Management API off", 11, "", 0, listen.c_str());
    return;
  }
  state = new AdminState;
  state->data = Cfg.DataPath;
  state->allow = ReadAllow();
  int timeout = std::clamp(ReadIniInt("Admin", "Timeout", "5"), 1, 300);
  state->sampleSeconds = std::clamp(ReadIniInt("Admin", "SampleSeconds", "10"), 1, 3600);
  httplib::Server& s = state->server;
  s.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  // Idle and slow connections are closed: each read or write may wait this long.
  s.set_read_timeout(timeout, 0);
  s.set_write_timeout(timeout, 0);
  s.set_keep_alive_timeout(timeout);
  s.set_keep_alive_max_count(100);
  s.set_payload_max_length(kMaxBody);
  // A reply's head and body leave in separate writes: without this, a keep-alive client waits
  // for the delayed acknowledgement (40 ms) on every request.
  s.set_tcp_nodelay(true);
  s.set_pre_routing_handler(CheckAccess);
  s.set_logger(CountResult);
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    Error(res, 500, "internal error");
  });
  AddServerRoutes(s);
  AddFileRoutes(s);
  if (!s.bind_to_port(host.c_str(), port)) {
    WriteLog("Management API: cannot listen on %s", 11, "", 0, listen.c_str());
    delete state;
    state = nullptr;
    return;
  }
  WriteLog("Management API on %s", 11, "", 0, listen.c_str());
  state->listener = std::thread([] { state->server.listen_after_bind(); });
  state->sampler = std::thread(SamplerThread);
}

void StopAdmin() {
  using namespace admin;
  if (!state) return;
  {
    std::lock_guard<std::mutex> hold(state->lock);
    state->stopping = true;
  }
  state->wake.notify_all();
  state->server.stop();
  state->listener.join();
  state->sampler.join();
  delete state;
  state = nullptr;
}
