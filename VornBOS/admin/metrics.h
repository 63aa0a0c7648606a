// Event counters of the session server. The loop thread bumps them where the events happen
// (one relaxed atomic add each); the admin listener reads them from its own threads.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

struct ServerCounters {
  std::atomic<int64_t> sessions{0};  // signed-on sessions (a gauge)
  std::atomic<uint64_t> signonOk{0}, signonRefused{0};
  std::atomic<uint64_t> messagesCh1{0}, messagesCh2{0}, messagesCh4{0}, messagesOther{0};
  std::atomic<uint64_t> offlineStored{0}, offlineDelivered{0}, offlineRefused{0};
  std::atomic<uint64_t> smsSent{0}, smsFailed{0};
  std::atomic<uint64_t> adminOk{0}, adminClientError{0}, adminUnauthorized{0}, adminServerError{0};
};

ServerCounters& Counters();

inline void Count(std::atomic<uint64_t>& c) { c.fetch_add(1, std::memory_order_relaxed); }
// A routed message, by its ICBM channel.
void CountMessage(uint8_t channel);

// The counters in the Prometheus text format and as one JSON object.
std::string MetricsText();
std::string StatsJson();
