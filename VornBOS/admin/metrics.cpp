#include "VornBOS/admin/metrics.h"

#include <cstdio>

#include "server-core/flap.h"

ServerCounters& Counters() {
  static ServerCounters counters;
  return counters;
}

void CountMessage(uint8_t channel) {
  ServerCounters& c = Counters();
  Count(channel == 1 ? c.messagesCh1 : channel == 2 ? c.messagesCh2 : channel == 4 ? c.messagesCh4 : c.messagesOther);
}

namespace {

uint64_t Get(const std::atomic<uint64_t>& a) { return a.load(std::memory_order_relaxed); }

struct Line {
  const char* name;
  const char* labels;  // "" or `key="value"`
  uint64_t value;
};

}  // namespace

std::string MetricsText() {
  const ServerCounters& c = Counters();
  int64_t sessions = c.sessions.load(std::memory_order_relaxed);
  struct Family {
    const char* name;
    const char* type;
    const char* help;
  };
  const Family families[] = {
      {"vorn_signons_total", "counter", "Session-server sign-ons by outcome."},
      {"vorn_messages_routed_total", "counter", "Messages routed, by ICBM channel."},
      {"vorn_offline_messages_total", "counter", "Offline messages stored, delivered and refused."},
      {"vorn_send_queue_overflows_total", "counter", "Connections closed because their send queue overflowed."},
      {"vorn_sms_total", "counter", "SMS mails by result."},
      {"vorn_admin_requests_total", "counter", "Admin API requests by result."},
  };
  const Line lines[] = {
      {families[0].name, "outcome=\"ok\"", Get(c.signonOk)},
      {families[0].name, "outcome=\"refused\"", Get(c.signonRefused)},
      {families[1].name, "channel=\"1\"", Get(c.messagesCh1)},
      {families[1].name, "channel=\"2\"", Get(c.messagesCh2)},
      {families[1].name, "channel=\"4\"", Get(c.messagesCh4)},
      {families[1].name, "channel=\"other\"", Get(c.messagesOther)},
      {families[2].name, "event=\"stored\"", Get(c.offlineStored)},
      {families[2].name, "event=\"delivered\"", Get(c.offlineDelivered)},
      {families[2].name, "event=\"refused\"", Get(c.offlineRefused)},
      {families[3].name, "", Get(SendQueueOverflows)},
      {families[4].name, "result=\"sent\"", Get(c.smsSent)},
      {families[4].name, "result=\"failed\"", Get(c.smsFailed)},
      {families[5].name, "result=\"ok\"", Get(c.adminOk)},
      {families[5].name, "result=\"client_error\"", Get(c.adminClientError)},
      {families[5].name, "result=\"unauthorized\"", Get(c.adminUnauthorized)},
      {families[5].name, "result=\"server_error\"", Get(c.adminServerError)},
  };
  std::string out =
      "# HELP vorn_sessions Signed-on sessions.\n# TYPE vorn_sessions gauge\nvorn_sessions " +
      std::to_string(sessions < 0 ? 0 : sessions) + "\n";
  const char* current = "";
  for (const Line& l : lines) {
    if (std::string(current) != l.name) {
      for (const Family& f : families)
        if (std::string(f.name) == l.name)
          out += std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n";
      current = l.name;
    }
    out += l.name;
    if (*l.labels) out += std::string("{") + l.labels + "}";
    out += " " + std::to_string(l.value) + "\n";
  }
  return out;
}

std::string StatsJson() {
  const ServerCounters& c = Counters();
  int64_t sessions = c.sessions.load(std::memory_order_relaxed);
  char buf[1024];
  std::snprintf(buf, sizeof buf,
                "{\"sessions\": %lld, \"signons\": {\"ok\": %llu, \"refused\": %llu}, "
                "\"messages_routed\": {\"1\": %llu, \"2\": %llu, \"4\": %llu, \"other\": %llu}, "
                "\"offline_messages\": {\"stored\": %llu, \"delivered\": %llu, \"refused\": %llu}, "
                "\"send_queue_overflows\": %llu, \"sms\": {\"sent\": %llu, \"failed\": %llu}, "
                "\"admin_requests\": {\"ok\": %llu, \"client_error\": %llu, \"unauthorized\": %llu, "
                "\"server_error\": %llu}}",
                static_cast<long long>(sessions < 0 ? 0 : sessions), static_cast<unsigned long long>(Get(c.signonOk)),
                static_cast<unsigned long long>(Get(c.signonRefused)), static_cast<unsigned long long>(Get(c.messagesCh1)),
                static_cast<unsigned long long>(Get(c.messagesCh2)), static_cast<unsigned long long>(Get(c.messagesCh4)),
                static_cast<unsigned long long>(Get(c.messagesOther)),
                static_cast<unsigned long long>(Get(c.offlineStored)),
                static_cast<unsigned long long>(Get(c.offlineDelivered)),
                static_cast<unsigned long long>(Get(c.offlineRefused)),
                static_cast<unsigned long long>(Get(SendQueueOverflows)),
                static_cast<unsigned long long>(Get(c.smsSent)), static_cast<unsigned long long>(Get(c.smsFailed)),
                static_cast<unsigned long long>(Get(c.adminOk)),
                static_cast<unsigned long long>(Get(c.adminClientError)),
                static_cast<unsigned long long>(Get(c.adminUnauthorized)),
                static_cast<unsigned long long>(Get(c.adminServerError)));
  return buf;
}
