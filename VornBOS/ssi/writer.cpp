#include "VornBOS/ssi/writer.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/files.h"
#include "server-core/flap.h"

namespace {

struct Job {
  uint32_t uin;
  std::string path, text;
};

class Writer {
 public:
  ~Writer() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();  // the queue is written out first
  }
  void Add(Job job) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    jobs_.push_back(std::move(job));
    wake_.notify_all();
  }
  void Drain() {
    std::unique_lock<std::mutex> hold(lock_);
    idle_.wait(hold, [this] { return jobs_.empty() && !busy_; });
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      wake_.wait(hold, [this] { return stop_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
      bool stopping = stop_;
      hold.unlock();
      bool ok = plat::WriteFileAtomic(job.path, job.text.data(), job.text.size(), 0600);
      if (!stopping && EventWindow) EventWindow->Post(WM_SSI_WRITTEN, job.uin, ok ? 1 : 0);
      hold.lock();
      busy_ = false;
      idle_.notify_all();
    }
  }
  std::mutex lock_;
  std::condition_variable wake_, idle_;
  std::deque<Job> jobs_;
  bool busy_ = false, stop_ = false;
  std::thread thread_;
};

Writer& TheWriter() {
  static Writer writer;
  return writer;
}

std::function<void(uint32_t, bool)>& Done() {
  static std::function<void(uint32_t, bool)> done;
  return done;
}

}  // namespace

void SetListWrittenCallback(std::function<void(uint32_t uin, bool ok)> done) { Done() = std::move(done); }

void WriteListLater(uint32_t uin, std::string path, std::string text) {
  if (!EventWindow) {
    bool ok = plat::WriteFileAtomic(path, text.data(), text.size(), 0600);
    if (Done()) Done()(uin, ok);
    return;
  }
  TheWriter().Add(Job{uin, std::move(path), std::move(text)});
}

void DrainListWrites() { TheWriter().Drain(); }
