#include "VornCmd/cmd_tool.h"

#include <cstdio>
#include <cstring>
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

bool BuildMessage(const CmdLine& cl, const std::string& text, std::vector<uint8_t>& frame) {
  if (BuildMessageFrame(UinFromText(cl.uinFrom), cl.uinTo, text, frame)) return true;
  std::fprintf(stderr, "Error - msg to lage=%d\n", static_cast<int>(cl.uinTo.size() + text.size() + 1));
  return false;
}

bool BuildFileMessage(const CmdLine& cl, std::vector<uint8_t>& frame) {
  const MessageFile mf = LoadMessageFile(cl.text);
  switch (mf.result) {
    case FileLoad::OpenFailed:
      std::fprintf(stderr, "Error open file %s\n", cl.text.c_str());
      return false;
    case FileLoad::TooLarge:
      std::fprintf(stderr, "Error - file to lage=%d\n", static_cast<int>(mf.size));
      return false;
    case FileLoad::ReadShort:
      std::fprintf(stderr, "Error read file-msg\n");
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
    std::fprintf(stderr, "Error allocate memory\n");
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
  if (r.queryFailed) std::fprintf(stderr, "Error read scoket\n");
  if (r.got < reply.size()) {
    std::fprintf(stderr, "Error: read=%d bytes wait=%d\n", static_cast<int>(r.got),
                static_cast<int>(reply.size()));
    std::fprintf(stderr, "Error get info about UIN=%s\n", uin.c_str());
    std::fprintf(stderr, "Error: no whole reply from the server within %d ms\n",
                static_cast<int>((reply.size() + 1) * kReplyPollMs));
    return kExitTimedOut;
  }
  PrintStatus(uin, ParseStatusReply(reply));
  return 0;
}

// Everything after the connect: hello, frame, reply. The caller closes the connection.
// Returns the exit code.
int RunExchange(plat::Socket s, const CmdLine& cl) {
  uint8_t hello[kHelloBufSize];
  int err = 0;
  if (plat::WaitReadable(s, kHelloWaitMs, err) <= 0) {
    std::fprintf(stderr, "Error: no hello from the server within %d ms\n", kHelloWaitMs);
    return kExitTimedOut;
  }
  plat::Recv(s, hello, sizeof hello, err);  // the hello frame is not examined
  std::vector<uint8_t> frame;
  if (!BuildFrame(cl, frame)) return kExitNotSent;
  if (plat::SendAll(s, frame.data(), frame.size(), err) < 0) {
    std::fprintf(stderr, "Error of send msg = %d\n", -1);
    return kExitNotSent;
  }
  std::printf("Command %s send OK\n", cl.word.c_str());
  return cl.command == Command::Stat ? ReadStatusReply(s, cl.statUin) : 0;
}

// The pause before closing, during which a server that refuses the command frame (an address
// its CmdAllow leaves out) closes the connection: that close is the only answer it gives.
bool ClosedByServer(plat::Socket s) {
  int err = 0;
  if (plat::WaitReadable(s, static_cast<int>(kClosingPauseMs), err) <= 0) return false;
  uint8_t byte;
  return plat::Recv(s, &byte, 1, err) <= 0;
}

bool Resolve(const std::string& prog, const CmdLine& cl, uint32_t& addr, uint16_t& port) {
  if (!plat::ResolveHostV4(cl.host, addr)) {
    std::fprintf(stderr, "%s: unknown host: %s\n", prog.c_str(), cl.host.c_str());
    return false;
  }
  if (!ParsePort(cl.port, port)) {
    std::fprintf(stderr, "%s: unknown service: %s\n", prog.c_str(), cl.port.c_str());
    return false;
  }
  return true;
}

}  // namespace

int RunVornCmd(int argc, const char* const* argv) {
  CmdLine cl;
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintUsage(stdout);
    return kExitDone;
  }
  if (!ParseCommandLine(argc, argv, cl)) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string prog = ProgramName(argv[0]);
  // Numbers are checked before anything is sent: "abc" would go out as user 0.
  const std::vector<const std::string*> numbers =
      cl.command == Command::Stat ? std::vector<const std::string*>{&cl.statUin}
                                  : std::vector<const std::string*>{&cl.uinFrom, &cl.uinTo};
  for (const std::string* uin : numbers) {
    if (IsUserNumber(*uin)) continue;
    std::fprintf(stderr, "%s: not a user number: \"%s\"\n", prog.c_str(), uin->c_str());
    return kExitUsage;
  }
  uint32_t addr = 0;
  uint16_t port = 0;
  if (!Resolve(prog, cl, addr, port)) return kExitConnect;
  const Connection c = OpenConnection(addr, port);
  if (c.socket == plat::kInvalidSocket) {
    const char* what = c.step == ConnectStep::SocketFailed ? "socket call failed" : "connect failed";
    std::fprintf(stderr, "%s: %s: %s (%d)\n", prog.c_str(), what, plat::ErrorText(c.error).c_str(), c.error);
    return kExitConnect;
  }
  int code = RunExchange(c.socket, cl);
  std::fflush(stdout);
  if (code == kExitDone && cl.command != Command::Stat) {
    if (ClosedByServer(c.socket)) {
      std::fprintf(stderr, "%s: the server closed the connection: command refused (is this address in CmdAllow?)\n",
                   prog.c_str());
      code = kExitNotSent;
    }
  } else {
    plat::SleepMs(kClosingPauseMs);
  }
  plat::CloseSocket(c.socket);
  return code;
}

}  // namespace vorn::cmd
