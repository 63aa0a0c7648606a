#include "VornCmd/cmd_tool.h"

#include <cstdio>
#include <new>
#include <vector>

#include "VornCmd/cmd_args.h"
#include "VornCmd/cmd_frames.h"
#include "VornCmd/connect.h"
#include "VornCmd/msg_file.h"
#include "VornCmd/poll_read.h"
#include "platform/clock.h"
#include "platform/net.h"

namespace vorn::cmd {
namespace {

constexpr uint32_t kClosingPauseMs = 300;
// The same bounds as the command object's: the hello polled for kHelloSize bytes, the reply
// for its 30 bytes, each empty poll counting once.
constexpr int kHelloWaitMs = static_cast<int>((kHelloSize + 1) * kHelloPollMs);
constexpr int kExitTimedOut = 2;

bool BuildMessage(const CmdLine& cl, const std::string& text, std::vector<uint8_t>& frame) {
  if (BuildMessageFrame(UinFromText(cl.uinFrom), cl.uinTo, text, frame)) return true;
  std::printf("Error - msg to lage=%d\n", static_cast<int>(cl.uinTo.size() + text.size() + 1));
  return false;
}

bool BuildFileMessage(const CmdLine& cl, std::vector<uint8_t>& frame) {
  const MessageFile mf = LoadMessageFile(cl.text);
  switch (mf.result) {
    case FileLoad::OpenFailed:
      std::printf("Error open file %s\n", cl.text.c_str());
      return false;
    case FileLoad::TooLarge:
      std::printf("Error - file to lage=%d\n", static_cast<int>(mf.size));
      return false;
    case FileLoad::ReadShort:
      std::printf("Error read file-msg\n");
      break;
    case FileLoad::Ok:
      break;
  }
  return BuildMessage(cl, mf.text, frame);
}

// Builds the frame of the command; false when an error was printed and nothing is to be sent.
bool BuildFrame(const CmdLine& cl, std::vector<uint8_t>& frame) {
  try {
    switch (cl.command) {
      case Command::Msg:
        return BuildMessage(cl, cl.text, frame);
      case Command::MsgFile:
        return BuildFileMessage(cl, frame);
      case Command::Stat: {
        const auto req = BuildStatusRequest(UinFromText(cl.statUin));
        frame.assign(req.begin(), req.end());
        return true;
      }
    }
  } catch (const std::bad_alloc&) {
    std::printf("Error allocate memory\n");
  }
  return false;
}

void PrintAddress(const char* label, const std::array<uint8_t, 4>& ip) {
  std::printf("%s %d.%d.%d.%d\n", label, ip[0], ip[1], ip[2], ip[3]);
}

void PrintStatus(const std::string& uin, const StatusInfo& info) {
  if (IsOffline(info)) {
    std::printf("UIN=%s - offline\n", uin.c_str());
    return;
  }
  std::printf("UIN=%s\n", uin.c_str());
  PrintAddress("IP external", info.ipExt);
  PrintAddress("IP internal", info.ipInt);
  std::printf("Port        %d\n", info.port);
  std::printf("Connect inf=%d\n", info.flags);
  std::printf("Status     =%d\n", info.status);
}

// 0, or kExitTimedOut when the reply did not come whole in time.
int ReadStatusReply(plat::Socket s, const std::string& uin) {
  StatusReplyBytes reply{};
  const PollReadResult r = ReadByPolling(s, reply.data(), reply.size(), kReplyPollMs);
  if (r.queryFailed) std::printf("Error read scoket\n");
  if (r.got < reply.size()) {
    std::printf("Error: read=%d bytes wait=%d\n", static_cast<int>(r.got),
                static_cast<int>(reply.size()));
    std::printf("Error get info about UIN=%s\n", uin.c_str());
    std::printf("Error: no whole reply from the server within %d ms\n",
                static_cast<int>((reply.size() + 1) * kReplyPollMs));
    return kExitTimedOut;
  }
  PrintStatus(uin, ParseStatusReply(reply));
  return 0;
}

// Everything after the connect: hello, frame, reply. The caller closes the connection.
// Returns the exit code: 0, or kExitTimedOut when the server kept silent.
int RunExchange(plat::Socket s, const CmdLine& cl) {
  uint8_t hello[kHelloBufSize];
  int err = 0;
  if (plat::WaitReadable(s, kHelloWaitMs, err) <= 0) {
    std::printf("Error: no hello from the server within %d ms\n", kHelloWaitMs);
    return kExitTimedOut;
  }
  plat::Recv(s, hello, sizeof hello, err);  // the hello frame is not examined
  std::vector<uint8_t> frame;
  if (!BuildFrame(cl, frame)) return 0;
  if (plat::SendAll(s, frame.data(), frame.size(), err) < 0) {
    std::printf("Error of send msg = %d\n", -1);
    return 0;
  }
  std::printf("Command %s send OK\n", cl.word.c_str());
  return cl.command == Command::Stat ? ReadStatusReply(s, cl.statUin) : 0;
}

bool Resolve(const std::string& prog, const CmdLine& cl, uint32_t& addr, uint16_t& port) {
  if (!plat::ResolveHostV4(cl.host, addr)) {
    std::printf("%s: unknown host: %s\n", prog.c_str(), cl.host.c_str());
    return false;
  }
  if (!ParsePort(cl.port, port)) {
    std::printf("%s: unknown service: %s\n", prog.c_str(), cl.port.c_str());
    return false;
  }
  return true;
}

}  // namespace

int RunVornCmd(int argc, const char* const* argv) {
  CmdLine cl;
  if (!ParseCommandLine(argc, argv, cl)) {
    PrintUsage();
    return -1;
  }
  const std::string prog = ProgramName(argv[0]);
  uint32_t addr = 0;
  uint16_t port = 0;
  if (!Resolve(prog, cl, addr, port)) return 1;
  const Connection c = OpenConnection(addr, port);
  if (c.socket == plat::kInvalidSocket) {
    const char* what = c.step == ConnectStep::SocketFailed ? "socket call failed" : "connect failed";
    std::printf("%s: %s: %s (%d)\n", prog.c_str(), what, plat::ErrorText(c.error).c_str(), c.error);
    return 1;
  }
  const int code = RunExchange(c.socket, cl);
  std::fflush(stdout);
  plat::SleepMs(kClosingPauseMs);
  plat::CloseSocket(c.socket);
  return code;
}

}  // namespace vorn::cmd
