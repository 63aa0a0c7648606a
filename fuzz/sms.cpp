// The SMS request (meta 0x07D0/0x1482) with a route configured and no relay reachable.
#include "VornBOS/directory/handlers.h"
#include "fuzz/bos_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::BosEnv& env = fz::Env();
  fz::ResetBetweenInputs();
  MetaRequest req{*env.user, {1, 2, 3, 4}, 7, 0x07D0, 0x1482, data, size};
  SendSms(req);
  return 0;
}
