// Whole frames through the real event handling: bytes arrive on the sessions' sockets and
// the server's own message handler reads, dispatches (ReadFLAP and the command frames of a
// connection that has not logged in) and writes, for a logged-in and an anonymous session.
#include <unistd.h>

#include "VornBOS/server.h"
#include "fuzz/bos_env.h"
#include "server-core/flap.h"
#include "server-core/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::BosEnv& env = fz::Env();
  fz::ResetBetweenInputs();
  if (size < 1) return 0;
  // First byte: which sessions get the frames (bit 0 logged in, bit 1 anonymous).
  int who = data[0] % 3 + 1;
  for (auto& frame : fz::SplitFrames(data + 1, size - 1)) {
    // A frame's first byte is its channel; the rest is its data part.
    uint8_t channel = frame.empty() ? 2 : frame[0];
    WireWriter w;
    w.u8(0x2A).u8(channel).be16(1).be16(static_cast<uint16_t>(frame.empty() ? 0 : frame.size() - 1));
    if (frame.size() > 1) w.bytes(frame.data() + 1, frame.size() - 1);
    for (int i = 0; i < 2; ++i)
      if (who & (1 << i)) [[maybe_unused]] ssize_t n = ::write(env.peer[i == 0 ? 0 : 2], w.buffer().data(), w.size());
  }
  for (ClientInfo* c : {env.user, env.anonymous}) PostSocketEvent(c->ClnSocket, plat::FD_READ);
  EventWindow->PostDelayed(0, plat::WM_QUIT, 0, 0);
  int handled = 0, err = 0;
  EventWindow->Run(
      [&](const plat::Message& m) {
        if (++handled == 20000) EventWindow->PostQuit();
        HandleWindowMessage(m);
      },
      err);
  fz::DrainPeers();
  return 0;
}
