#include "VornAX/cmd.h"

#include <new>
#include <vector>

#include "VornCmd/connect.h"
#include "VornCmd/msg_file.h"
#include "VornCmd/poll_read.h"
#include "platform/clock.h"

namespace vorn::ax {
namespace {

constexpr uint32_t kClosingPauseMs = 300;

}  // namespace

void Cmd::SendMsg() { Exchange(Kind::Message); }

void Cmd::SendFile() { Exchange(Kind::File); }

void Cmd::GetUinInfo(uint32_t uin) {
  uinTo_ = static_cast<int32_t>(uin);
  Exchange(Kind::Query);
}

uint32_t Cmd::UinInfo(uint8_t tp) const {
  switch (tp) {
    case kInfoExternal:
      return cmd::AddressAsNumber(reply_.ipExt);
    case kInfoInternal:
      return cmd::AddressAsNumber(reply_.ipInt);
    case kInfoPort:
      return reply_.port;
    case kInfoFlags:
      return reply_.flags;
    default:
      return reply_.status;
  }
}

bool Cmd::BuildTextFrame(const std::string& text, std::vector<uint8_t>& frame) {
  if (cmd::BuildMessageFrame(static_cast<uint32_t>(uinFrom_), std::to_string(uinTo_), text, frame))
    return true;
  status_ = kStatusNoMemory;  // the text does not fit a frame
  return false;
}

bool Cmd::BuildFrame(Kind kind, std::vector<uint8_t>& frame) {
  try {
    if (kind == Kind::Query) {
      const auto req = cmd::BuildStatusRequest(static_cast<uint32_t>(uinTo_));
      frame.assign(req.begin(), req.end());
      return true;
    }
    if (kind == Kind::Message) return BuildTextFrame(message_.value_or(std::string()), frame);
    const cmd::MessageFile mf = cmd::LoadMessageFile(messageFile_.value_or(std::string()));
    switch (mf.result) {
      case cmd::FileLoad::OpenFailed:
        status_ = kStatusFileOpen;
        return false;
      case cmd::FileLoad::TooLarge:
        status_ = kStatusFileTooLarge;
        return false;
      case cmd::FileLoad::ReadShort:
        status_ = kStatusFileReadShort;
        break;
      case cmd::FileLoad::Ok:
        break;
    }
    return BuildTextFrame(mf.text, frame);
  } catch (const std::bad_alloc&) {
    status_ = kStatusNoMemory;
    return false;
  }
}

void Cmd::ReadReply(plat::Socket s) {
  cmd::StatusReplyBytes reply{};
  const cmd::PollReadResult r = cmd::ReadByPolling(s, reply.data(), reply.size(), cmd::kReplyPollMs);
  if (r.got == reply.size()) {
    reply_ = cmd::ParseStatusReply(reply);
  } else {
    status_ = kStatusNoReply;
  }
}

void Cmd::Exchange(Kind kind) {
  status_ = kStatusOk;
  uint32_t addr = 0;
  if (!server_ || server_->empty() || !plat::ResolveHostV4(*server_, addr)) {
    status_ = kStatusNoServer;
    return;
  }
  const cmd::Connection c = cmd::OpenConnection(addr, port_);
  if (c.socket == plat::kInvalidSocket) {
    status_ = c.step == cmd::ConnectStep::SocketFailed ? kStatusNoSocket : kStatusConnectFailed;
    return;
  }
  uint8_t hello[cmd::kHelloSize];
  cmd::ReadByPolling(c.socket, hello, sizeof hello, cmd::kHelloPollMs);  // not examined
  std::vector<uint8_t> frame;
  if (BuildFrame(kind, frame)) {
    int err = 0;
    if (plat::SendAll(c.socket, frame.data(), frame.size(), err) < 0) {
      status_ = kStatusSendFailed;
    } else {
      if (status_ != kStatusFileReadShort) status_ = kStatusOk;
      if (kind == Kind::Query) ReadReply(c.socket);
    }
  }
  plat::SleepMs(kClosingPauseMs);
  plat::CloseSocket(c.socket);
}

}  // namespace vorn::ax
