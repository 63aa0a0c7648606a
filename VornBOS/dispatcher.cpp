#include "VornBOS/dispatcher.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <utility>

#include "VornBOS/command.h"
#include "VornBOS/directory/handlers.h"
#include "VornBOS/directory/meta.h"
#include "VornBOS/login.h"
#include "VornBOS/presence/icbm.h"
#include "VornBOS/presence/offline.h"
#include "VornBOS/presence/olm_replay.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "VornBOS/ssi/handlers.h"
#include "VornBOS/templates.h"
#include "server-core/config.h"
#include "server-core/log.h"

namespace {

constexpr size_t kSnacHeader = 10;
const FlapDumpTitles kDumpTitles{"Recive head", "Recive FLAP"};

const uint8_t* RequestId(const ClientInfo& c) { return c.in.data.data() + 6; }

void LogUnsupported(ClientInfo& c, uint16_t family, uint16_t subtype);

void Template(ClientInfo& c, const std::vector<uint8_t>& frame) { SendTemplate(c, frame, RequestId(c)); }

void SendOwnInfo(ClientInfo& c) {
  WireWriter w(256);
  w.be16(0x0001).be16(0x000F).be16(0).bytes(RequestId(c), 4);
  w.text8(std::to_string(c.UIN)).be16(0).be16(7);
  w.tlv16(0x0001, 0x0080);
  PutTLV(w, 0x000C);
  PutTLV(w, 0x000A, {0, c.ipExt, {}});
  PutTLV(w, 0x000F, {c.connectTime, nullptr, {}});
  PutTLV(w, 0x0002);
  PutTLV(w, 0x0003);
  PutTLV(w, 0x0006, {0, c.Status, {}});
  QueueFrame(c, 2, w.buffer());
}

void SendVersions(ClientInfo& c) {
  Template(c, MotdFrame());
  std::vector<uint8_t> data(c.in.data.begin(), c.in.data.begin() + c.in.length);
  data[3] = 0x18;
  QueueFrame(c, c.in.channel(), data);
}

// A service request (0x01/0x04) for a family this server does not offer gets the generic
// error reply, "service not defined", so the client stops waiting for a redirect. Families it
// offers are served on this connection; for them the request is only logged.
void RequestService(ClientInfo& c) {
  constexpr uint16_t kServiceNotDefined = 0x0006;
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(10);
  uint16_t family = r.be16();
  const std::vector<uint8_t>& offered = ServiceFamiliesFrame();
  bool known = false;
  for (size_t i = 16; r.ok() && i + 1 < offered.size(); i += 2) known |= GetBe16(&offered[i]) == family;
  if (!r.ok() || known) {
    LogUnsupported(c, 0x0001, 0x0004);
    return;
  }
  WriteLog("Service 0x%x not offered", 7, c.addr.c_str(), c.UIN, family);
  WireWriter w(12);
  w.be16(0x0001).be16(0x0001).be16(0).bytes(RequestId(c), 4).be16(kServiceNotDefined);
  QueueFrame(c, 2, w.buffer());
}

void RouteByChannel(ClientInfo& c) {
  if (c.in.length < 20) return;
  uint8_t channel = c.in.data[19];
  if (channel == 1 || channel == 4) {
    IcbmMessage m;
    if (RouteMessage(c, m)) AckIfRequested(c, m);
  }
  else if (channel == 2)
    RelayAdvancedMessage(c);
}

void NotRegistering(ClientInfo& c) {
  WriteLog("Register new uin. Don't work in current version", 3, "", c.UIN);
}

void Ignore(ClientInfo&) {}

using Handler = void (*)(ClientInfo&);
using Key = std::pair<uint16_t, uint16_t>;

// The single place where a family and subtype meet their handler.
const std::map<Key, Handler>& DispatchTable() {
  static const std::map<Key, Handler> table = {
      {{0x01, 0x02}, Ignore},
      {{0x01, 0x04}, RequestService},
      {{0x01, 0x06}, [](ClientInfo& c) { Template(c, RateInfoFrame()); }},
      {{0x01, 0x08}, Ignore},
      {{0x01, 0x0E}, SendOwnInfo},
      {{0x01, 0x11}, Ignore},
      {{0x01, 0x17}, SendVersions},
      {{0x01, 0x1E}, NotifyStatusChange},
      {{0x02, 0x02}, [](ClientInfo& c) { Template(c, LocationRightsFrame()); }},
      {{0x02, 0x04}, [](ClientInfo& c) { StoreCapabilitiesTlv(c); }},
      {{0x03, 0x02}, [](ClientInfo& c) { Template(c, BuddyRightsFrame()); }},
      {{0x03, 0x04}, AddContacts},
      {{0x04, 0x02}, SetIcbmParams},
      {{0x04, 0x04}, [](ClientInfo& c) { Template(c, MessagingParamsFrame()); }},
      {{0x04, 0x06}, RouteByChannel},
      {{0x04, 0x0B}, ForwardAck},
      {{0x04, 0x10}, RetrieveOfflineMessages},
      {{0x04, 0x14}, RelayTyping},
      {{0x09, 0x02}, [](ClientInfo& c) { Template(c, PrivacyRightsFrame()); }},
      {{0x09, 0x05}, Ignore},
      {{0x09, 0x07}, Ignore},
      {{0x0A, 0x02}, LookupByEmail},
      {{0x13, 0x02}, SsiRights},
      {{0x13, 0x04}, SsiSendList},
      {{0x13, 0x05}, SsiCheckList},
      {{0x13, 0x07}, SsiActivate},
      {{0x13, 0x08}, SsiAddItems},
      {{0x13, 0x09}, SsiUpdateItems},
      {{0x13, 0x0A}, SsiDeleteItems},
      {{0x13, 0x11}, SsiEditStart},
      {{0x13, 0x12}, SsiEditEnd},
      {{0x13, 0x14}, SsiFutureAuthGrant},
      {{0x13, 0x18}, ForwardAuthRequest},
      {{0x13, 0x1A}, SsiAuthReply},
      {{0x15, 0x02}, HandleMetaRequest},
      {{0x15, 0x04}, NotRegistering},
      {{0x17, 0x04}, NotRegistering},
  };
  return table;
}

// The table above as an array indexed by family and subtype (all of them are below 0x20), so
// that the lookup of every frame is two array steps.
constexpr uint16_t kFlatSize = 0x20;
struct FlatTable {
  Handler at[kFlatSize][kFlatSize] = {};
  FlatTable() {
    for (const auto& [key, handler] : DispatchTable())
      if (key.first < kFlatSize && key.second < kFlatSize) at[key.first][key.second] = handler;
  }
};

Handler FindHandler(uint16_t family, uint16_t subtype) {
  static const FlatTable flat;
  if (family < kFlatSize && subtype < kFlatSize) return flat.at[family][subtype];
  auto it = DispatchTable().find({family, subtype});
  return it == DispatchTable().end() ? nullptr : it->second;
}

void LogUnsupported(ClientInfo& c, uint16_t family, uint16_t subtype) {
  // Families the server knows get a line naming the family; all others the family line.
  constexpr uint16_t kKnown[] = {0x01, 0x02, 0x03, 0x04, 0x09, 0x13, 0x15, 0x17};
  if (std::find(std::begin(kKnown), std::end(kKnown), family) != std::end(kKnown))
    WriteLog("Not supported SNAC(0x%02x,0x%x)", 7, c.addr.c_str(), c.UIN, family, subtype);
  else
    WriteLog("Not supported SNAC FAMILY(0x%x, 0x%x)", 7, c.addr.c_str(), c.UIN, family, subtype);
}

enum class CommandKind { None, Message, Status, OnlineList, EndSession };

// Command frames are known by their whole 16-bit family and subtype.
CommandKind CommandKindOf(uint16_t family, uint16_t subtype) {
  if (family == 0x0004 && subtype == 0x0006) return CommandKind::Message;
  if (family == 0x0001 && subtype == 0x000E) return CommandKind::Status;
  if (family == 0x0001 && subtype == 0x0080) return CommandKind::OnlineList;
  if (family == 0x0001 && subtype == 0x0082) return CommandKind::EndSession;
  return CommandKind::None;
}

// A frame from a connection that has not logged in: a command client's message, status
// query or online-list request. True when the frame was one of them; a frame from an
// address that [Main] CmdAllow leaves out closes the connection.
bool HandleCommandFrame(ClientInfo& c, bool& bad) {
  if (c.UIN != 0 || c.in.length < 4) return false;
  WireReader head(c.in.data.data(), c.in.length);
  uint16_t family = head.be16();
  uint16_t subtype = head.be16();
  CommandKind kind = CommandKindOf(family, subtype);
  if (kind == CommandKind::None) return false;
  if (!CommandAllowed(c)) {
    WriteLog("Command frame refused (CmdAllow)", 11, c.addr.c_str(), c.UIN);
    bad = true;
    return true;
  }
  WireReader r(c.in.data.data(), c.in.length);
  if (kind == CommandKind::OnlineList) {
    SendOnlineList(c);
    return true;
  }
  if (kind == CommandKind::Message) {
    // The sender's number sits after the recipient text: offset 25 + its length.
    r.seek(20);
    r.skip(4 + r.u8());
    uint32_t uin = r.le32();
    if (r.ok()) {
      SetSessionUin(c, uin);
      RouteMessage(c);
      return true;
    }
  } else {
    r.seek(6);  // the queried number stands in the request id
    uint32_t uin = r.le32();
    if (r.ok()) {
      if (kind == CommandKind::EndSession)
        EndUserSessions(c, uin);
      else
        SendStatusReply(c, uin);
      return true;
    }
  }
  WriteLog("Bad command frame. Size=%d", 11, c.addr.c_str(), c.UIN, c.in.length);
  bad = true;
  return true;
}

}  // namespace

bool ReceiveStep(ClientInfo& c, void (*handleFrame)(ClientInfo&)) {
  // Every whole frame the read brought is handled here, in order, before the event ends.
  c.onePass = true;
  c.socketEmpty = false;  // a read event: the socket may hold data again
  plat::Socket s = c.ClnSocket;
  for (;;) {
    int err = 0;
    switch (RecvPiece(c, kDumpTitles, err)) {
      case RecvStatus::BadSocket:
        WriteLog("Recv()::ClnSocket == INVALID_SOCKET", 11, c.addr.c_str(), c.UIN);
        return false;
      case RecvStatus::BadStart:
        WriteLog("Bad FLAP (0x%x 0x%x 0x__ 0x__ 0x%x 0x%x)", 9, c.addr.c_str(), c.UIN, c.in.head[0], c.in.head[1],
                 c.in.head[5], c.in.head[4]);
        return false;
      case RecvStatus::ZeroLength:
        if (c.in.channel() == 5) {
          c.in.waitBytes = kFlapHeader;
          c.in.isWaitHead = true;
          continue;
        }
        WriteLog("FLAP size=0 (0x%x 0x%x 0x%x 0x%x 0x00 0x00)", 9, c.addr.c_str(), c.UIN, 0x2A, c.in.head[1],
                 c.in.head[3], c.in.head[2]);
        return false;
      case RecvStatus::HeadDone:
        continue;
      case RecvStatus::FrameDone: {
        bool bad = false;
        uint64_t destroyed = SessionsDestroyed();
        if (!HandleCommandFrame(c, bad)) handleFrame(c);
        if (SessionsDestroyed() != destroyed && FindBySocket(s) != &c) return true;  // the handler ended the session
        if (bad) return false;
        continue;
      }
      default:
        return true;
    }
  }
}

bool SendStep(ClientInfo& c) {
  int err = 0;
  switch (SendPiece(c, err)) {
    case SendStatus::BadSocket:
      WriteLog("Send()::ClnSocket == INVALID_SOCKET", 11, c.addr.c_str(), c.UIN);
      return true;
    case SendStatus::Failed:
      if (err == plat::kWouldBlock) return true;
      WriteLog("WSASend() failed with error =%d (send)", 11, c.addr.c_str(), c.UIN, err);
      return !IsConnectionLost(err);
    case SendStatus::FrameSent:
      // Every frame the write finished is logged, in queue order.
      PopSentFrames(c, [&](const FlapFrame& f) {
        if (f.length <= 10) return;
        const uint8_t* d = f.data.data();
        if (d[6] == 0 && d[7] == 3 && d[8] == 0 && (d[9] == 0x0B || d[9] == 0x0C))
          WriteLog("Send status SNAK(0x%x 0x%x, 0x%x 0x%x)", 3, c.addr.c_str(), c.UIN, 0, 3, 0, d[9]);
        else
          WriteLog("Send SNAK(0x%x 0x%x, 0x%x 0x%x)", 6, c.addr.c_str(), c.UIN, d[6], d[7], d[8], d[9]);
      });
      ContinueOfflineReplay(c);  // the next stored records follow as the queue drains
      return true;
    default:
      return true;
  }
}

void ReadFLAP(ClientInfo& c) {
  c.in.waitBytes = kFlapHeader;
  const std::vector<uint8_t>& d = c.in.data;
  if (!c.isLogged) {
    if (c.in.length >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1)
      LoginByCookie(c);
    else
      PostSocketEvent(c.ClnSocket, plat::FD_CLOSE);
    return;
  }
  c.lastFrameTime = static_cast<uint32_t>(std::time(nullptr));
  if (c.in.channel() != 2 || c.in.length < kSnacHeader) return;
  uint16_t family = GetBe16(d.data());
  uint16_t subtype = GetBe16(d.data() + 2);
  WriteLog("Get SNAK(0x%x, 0x%x)", 6, c.addr.c_str(), c.UIN, family, subtype);
  if (Handler handle = FindHandler(family, subtype))
    handle(c);
  else
    LogUnsupported(c, family, subtype);
}
