#include "VornBOS/directory/mail_pool.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// Never freed: a worker still sending when the process ends finds it intact.
struct MailPool {
  std::mutex lock;
  std::condition_variable work;
  std::condition_variable idle;
  std::deque<std::function<void()>> queue;
  int running = 0;
  bool started = false;
};

MailPool& Pool() {
  static MailPool* pool = new MailPool;
  return *pool;
}

void Worker(MailPool& p) {
  std::unique_lock<std::mutex> g(p.lock);
  for (;;) {
    p.work.wait(g, [&] { return !p.queue.empty(); });
    std::function<void()> job = std::move(p.queue.front());
    p.queue.pop_front();
    ++p.running;
    g.unlock();
    job();
    g.lock();
    --p.running;
    if (p.running == 0 && p.queue.empty()) p.idle.notify_all();
  }
}

}  // namespace

bool QueueMailJob(std::function<void()> job) {
  MailPool& p = Pool();
  std::lock_guard<std::mutex> g(p.lock);
  if (static_cast<int>(p.queue.size()) >= kMailQueueMax) return false;
  if (!p.started) {
    p.started = true;
    for (int i = 0; i < kMailWorkers; ++i) std::thread(Worker, std::ref(p)).detach();
  }
  p.queue.push_back(std::move(job));
  p.work.notify_one();
  return true;
}

void WaitForMailJobs(int seconds) {
  MailPool& p = Pool();
  std::unique_lock<std::mutex> g(p.lock);
  p.idle.wait_for(g, std::chrono::seconds(seconds), [&] { return p.running == 0 && p.queue.empty(); });
}

int PendingMailJobs() {
  MailPool& p = Pool();
  std::lock_guard<std::mutex> g(p.lock);
  return p.running + static_cast<int>(p.queue.size());
}
