#include <future>
#include <memory>

#include "VornBOS/admin/admin.h"
#include "server-core/log.h"
#include "server-core/server_host.h"

namespace {

struct LoopCall {
  std::function<void()> work;
  std::promise<void> done;
};

}  // namespace

bool RunOnLoop(std::function<void()> work, int timeoutMs) {
  auto call = std::make_unique<LoopCall>();
  call->work = std::move(work);
  std::future<void> done = call->done.get_future();
  if (!PostToServerLoop(WM_ADMIN_CALL, reinterpret_cast<uintptr_t>(call.get()), 0)) return false;
  call.release();  // the loop owns it now
  return done.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
}

void HandleAdminCall(const plat::Message& m) {
  std::unique_ptr<LoopCall> call(reinterpret_cast<LoopCall*>(m.wParam));
  try {
    call->work();
  } catch (...) {
    WriteLog("Exception in admin call", 11, "", 0);
  }
  call->done.set_value();
}
