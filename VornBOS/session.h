// Client sessions: one record per accepted connection, from accept to close.
#pragma once
#include <cstdint>
#include <ctime>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "server-core/flap.h"

constexpr size_t kClientCapsSize = 114;  // 112 bytes of capabilities, two spare zero bytes
constexpr size_t kExtStatusMax = 1024;   // longest extended status data (TLV 0x001D) kept

struct ClientInfo : FlapConn {
  std::vector<uint32_t> contacts;  // the uploaded contact list, in upload order
  std::vector<uint32_t> ssiContacts;  // buddies watched through the stored list, sorted, each once
  uint32_t Port = 0;
  uint8_t Cookie[4] = {0, 0, 0, 0};
  uint8_t dcType = 4;
  uint8_t ipExt[4] = {0, 0, 0, 0};
  uint8_t ipInt[4] = {0, 0, 0, 0};
  uint8_t clientCaps[kClientCapsSize] = {};
  uint8_t Version = 8;
  std::string relayTemplate;
  bool relayTemplateReady = false;
  bool isLogged = false;
  bool ssiActive = false;  // the stored list was activated (13/07): its buddies are watched
  uint8_t Status[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  uint32_t connectTime = 0;  // seconds since 1970 when the connection was accepted: the sign-on time
  // Message channels (bit n for channel n) on which the client asked for typing events in its
  // ICBM parameters; the messages it sends there tell their recipients so.
  uint8_t typingChannels = 0;
  // The extended status data of the last status change that carried it (TLV 0x001D value:
  // whole items only, at most kExtStatusMax bytes), passed to watchers as it came.
  std::string extStatus;
  uint32_t lastFrameTime = 0;  // when a signed-on client last sent a frame (its idle time)
  // The decimal text of the number this session's messages were last sent from: each message
  // frame it sends carries it (made again when the number differs).
  struct NumberText {
    uint8_t text[10] = {};
    uint8_t len = 0;
    uint32_t of = 0;
  } fromText;
  uint64_t created = 0;  // creation order, newest largest
  std::list<ClientInfo>::iterator self;
};

// Creates a session for an accepted socket (newest end of the list).
ClientInfo& CreateSession(plat::Socket s);
// Sends the departure notice, closes the socket, drops the queued frames and frees the record.
void DestroySession(ClientInfo& c);
// How many sessions were destroyed so far: a caller that sees it unchanged after a handler
// knows its session is still there without looking it up.
uint64_t SessionsDestroyed();

// Queues a whole frame built for the session (another client's message, a relayed notice or a
// reply), stamped with the session's own next sequence number: the numbers a connection
// receives count up by one whoever caused the frame.
void QueueSessionFrame(ClientInfo& c, std::vector<uint8_t>&& frame);

ClientInfo* FindBySocket(plat::Socket s);
// The newest logged-in session of the UIN. Connections that only carry the number (a
// refused cookie login, a command client) are never found.
ClientInfo* FindByUin(uint32_t uin);
// FindByUin for a number parsed from a request: 0 names nobody, so it never finds a
// connection that has not logged in.
ClientInfo* FindUser(uint32_t uin);
// Gives the session a UIN, keeping the lookup index in step.
void SetSessionUin(ClientInfo& c, uint32_t uin);

size_t SessionCount();
// Visits every session, newest first. The visitor must not destroy sessions.
template <typename F>
void ForEachSession(F&& visit);

// Writes the state of every session to the log (level 6).
void DumpSessions();

// Internal storage, exposed for ForEachSession.
std::list<ClientInfo>& SessionList();

template <typename F>
void ForEachSession(F&& visit) {
  auto& list = SessionList();
  for (auto it = list.rbegin(); it != list.rend(); ++it) visit(*it);
}
