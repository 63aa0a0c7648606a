// The commands that work through the management API of the running VornBOS: online, kick,
// stats, reload (and user lock/unlock in users.cpp). Linux build only (api_off.cpp stands in
// on Windows).
#include <httplib.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "vornadmin/admin.h"
#include "vornadmin/datafolder.h"
#include "vornadmin/output.h"

namespace vornadmin {

namespace {

using nlohmann::json;

constexpr int kApiTimeoutSeconds = 10;

struct Endpoint {
  std::string host;
  int port = 0;
};

// [Admin] Listen of vorn.ini: "address:port".
Endpoint ApiEndpoint(const Context& ctx) {
  std::string ini = ctx.data + "vorn.ini";
  std::optional<std::string> listen = ReadValue(ini, "Admin", "Listen");
  if (!listen || listen->empty())
    throw Unreachable("the management API is off: no [Admin] Listen in " + ini);
  size_t colon = listen->rfind(':');
  long long port = colon == std::string::npos ? 0 : plat::AtoI(listen->substr(colon + 1));
  if (colon == 0 || port <= 0 || port > 65535)
    throw Failure("[Admin] Listen=" + *listen + " in " + ini + " is not ADDRESS:PORT");
  Endpoint e{listen->substr(0, colon), static_cast<int>(port)};
  if (e.host == "0.0.0.0") e.host = "127.0.0.1";
  return e;
}

std::string ReadToken(const Context& ctx) {
  std::string path = AdminTokenFile(ctx.data);
  auto bytes = plat::ReadFileBytes(path, 1024);
  if (!bytes)
    throw Failure("cannot read " + path + ": " + std::strerror(bytes.err) + " (make one with 'vornadmin token new')");
  std::string t(bytes->begin(), bytes->end());
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
  return t;
}

json ParseBody(const ApiReply& r) {
  json j = json::parse(r.body, nullptr, false);
  if (j.is_discarded()) throw Failure("VornBOS sent a reply that is not JSON");
  return j;
}

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string LocalTime(long long unixTime) {
  std::time_t t = static_cast<std::time_t>(unixTime);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string Duration(long long s) {
  if (s < 60) return std::to_string(s) + "s";
  if (s < 3600) return std::to_string(s / 60) + "m";
  if (s < 86400) return std::to_string(s / 3600) + "h" + std::to_string(s % 3600 / 60) + "m";
  return std::to_string(s / 86400) + "d" + std::to_string(s % 86400 / 3600) + "h";
}

}  // namespace

ApiReply CallApi(Context& ctx, const std::string& method, const std::string& path, const std::string& body) {
  Endpoint e = ApiEndpoint(ctx);
  std::string token = ReadToken(ctx);
  httplib::Client cli(e.host, e.port);
  cli.set_connection_timeout(3, 0);
  cli.set_read_timeout(kApiTimeoutSeconds, 0);
  cli.set_tcp_nodelay(true);
  cli.set_bearer_token_auth(token.c_str());
  httplib::Result res = method == "GET"      ? cli.Get(path.c_str())
                        : method == "DELETE" ? cli.Delete(path.c_str())
                                             : cli.Post(path.c_str(), body, "application/json");
  std::string where = "VornBOS's management API on " + e.host + ":" + std::to_string(e.port);
  if (!res) throw Unreachable("cannot reach " + where + ": " + httplib::to_string(res.error()));
  if (res->status == 401) throw Failure(where + " refused the token of " + AdminTokenFile(ctx.data));
  if (res->status == 403) throw Failure(where + " refused this address ([Admin] Allow of vorn.ini)");
  return {res->status, res->body};
}

void ExpectOk(const ApiReply& reply) {
  if (reply.status >= 200 && reply.status < 300) return;
  json j = json::parse(reply.body, nullptr, false);
  std::string text = !j.is_discarded() && j.contains("error") && j["error"].is_string()
                         ? j["error"].get<std::string>()
                         : "HTTP status " + std::to_string(reply.status);
  throw Failure(text);
}

void OnlineCommand(Context& ctx, const std::vector<std::string>& words) {
  NeedWords(words, 0, 0, "online");
  AllowOptions(ctx, {});
  json all = json::array();
  for (size_t offset = 0;;) {
    ApiReply r = CallApi(ctx, "GET", "/api/sessions?limit=1000&offset=" + std::to_string(offset), "");
    ExpectOk(r);
    json page = ParseBody(r);
    for (auto& s : page["sessions"]) all.push_back(s);
    offset += page["sessions"].size();
    if (page["sessions"].empty() || offset >= page["total"].get<size_t>()) break;
  }
  if (ctx.json) {
    *ctx.out << Dump(all) << "\n";
    return;
  }
  char line[300];
  std::snprintf(line, sizeof line, "%-10s  %-16s  %-15s  %-14s  %-19s  %s", "NUMBER", "NICK", "ADDRESS", "STATUS",
                "ONLINE SINCE", "IDLE");
  *ctx.out << line << "\n";
  for (const auto& s : all) {
    std::snprintf(line, sizeof line, "%-10u  %-16s  %-15s  %-14s  %-19s  %s", s["uin"].get<uint32_t>(),
                  s["nick"].get<std::string>().c_str(), s["address"].get<std::string>().c_str(),
                  s.value("status_name", std::string("?")).c_str(), LocalTime(s["signed_on_unix"].get<long long>()).c_str(),
                  Duration(s["idle_seconds"].get<long long>()).c_str());
    *ctx.out << line << "\n";
  }
  if (all.empty()) *ctx.err << "vornadmin: nobody is signed on\n";
}

void KickCommand(Context& ctx, const std::vector<std::string>& words) {
  NeedWords(words, 1, 1, "kick NUMBER");
  AllowOptions(ctx, {});
  uint32_t uin = ParseUin(words[0]);
  ApiReply r = CallApi(ctx, "DELETE", "/api/sessions/" + std::to_string(uin), "");
  ExpectOk(r);
  if (ctx.json)
    *ctx.out << JsonObject().Num("uin", uin).Bool("ended", true).Text() << "\n";
  else
    *ctx.out << "session of " << uin << " ended\n";
}

void StatsCommand(Context& ctx, const std::vector<std::string>& words) {
  NeedWords(words, 0, 0, "stats");
  AllowOptions(ctx, {});
  ApiReply r = CallApi(ctx, "GET", "/api/stats", "");
  ExpectOk(r);
  json j = ParseBody(r);
  if (ctx.json) {
    *ctx.out << Dump(j) << "\n";
    return;
  }
  // One "name value" line per number, nested names joined with dots.
  std::function<void(const std::string&, const json&)> print = [&](const std::string& name, const json& v) {
    if (v.is_object()) {
      for (auto it = v.begin(); it != v.end(); ++it) print(name.empty() ? it.key() : name + "." + it.key(), it.value());
    } else {
      *ctx.out << name << " " << Dump(v) << "\n";
    }
  };
  print("", j);
}

void ReloadCommand(Context& ctx, const std::vector<std::string>& words) {
  NeedWords(words, 0, 0, "reload");
  AllowOptions(ctx, {});
  ExpectOk(CallApi(ctx, "POST", "/api/reload", ""));
  if (ctx.json)
    *ctx.out << JsonObject().Bool("reloaded", true).Text() << "\n";
  else
    *ctx.out << "VornBOS reloaded vorn.ini\n";
}

}  // namespace vornadmin
