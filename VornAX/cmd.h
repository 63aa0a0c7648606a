// The command object: properties a script sets, and methods that each run one whole
// exchange with VornBOS and leave the outcome in Status.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "VornCmd/cmd_frames.h"
#include "platform/net.h"

namespace vorn::ax {

// Outcomes of the last call, read through the Status property.
enum CmdStatus : int32_t {
  kStatusOk = 0,
  kStatusNoServer = -1,
  kStatusFileOpen = -2,
  kStatusFileTooLarge = -3,
  kStatusNoMemory = -4,
  kStatusFileReadShort = -5,
  kStatusSendFailed = -6,
  kStatusNoSocket = -7,
  kStatusConnectFailed = -8,
  kStatusNoNetwork = -10,
  kStatusNoReply = -11,
};

// Which field uinInfo returns.
enum InfoField : uint8_t {
  kInfoOnline = 0,  // any value not listed below also gives the online status
  kInfoExternal = 1,
  kInfoInternal = 2,
  kInfoPort = 3,
  kInfoFlags = 4,
};

using OptText = std::optional<std::string>;  // nullopt: nothing stored

class Cmd {
 public:
  void SendMsg();
  void SendFile();
  void GetUinInfo(uint32_t uin);
  uint32_t UinInfo(uint8_t tp) const;

  int32_t Status() const { return status_; }
  const OptText& Server() const { return server_; }
  void SetServer(OptText v) { server_ = std::move(v); }
  uint16_t Port() const { return port_; }
  void SetPort(uint16_t v) { port_ = v; }
  const OptText& Message() const { return message_; }
  void SetMessage(OptText v) { message_ = std::move(v); }
  const OptText& MessageFile() const { return messageFile_; }
  void SetMessageFile(OptText v) { messageFile_ = std::move(v); }
  int32_t UinTo() const { return uinTo_; }
  void SetUinTo(int32_t v) { uinTo_ = v; }
  int32_t UinFrom() const { return uinFrom_; }
  void SetUinFrom(int32_t v) { uinFrom_ = v; }

 private:
  enum class Kind { Message, File, Query };

  void Exchange(Kind kind);
  bool BuildFrame(Kind kind, std::vector<uint8_t>& frame);
  bool BuildTextFrame(const std::string& text, std::vector<uint8_t>& frame);
  void ReadReply(plat::Socket s);

  OptText server_;
  uint16_t port_ = 0;
  OptText message_;
  OptText messageFile_;
  int32_t uinTo_ = 0;
  int32_t uinFrom_ = 0;
  int32_t status_ = kStatusOk;
  cmd::StatusInfo reply_;  // fields of the last complete status reply
};

}  // namespace vorn::ax
