#pragma once
#include <cstddef>
#include <cstdint>

struct ClientInfo;

// Answers a command client's status query with the 30-byte status frame of the user's session.
void SendStatusReply(ClientInfo& c, uint32_t uin);

// The peer of a connection that has not logged in may send command frames ([Main] CmdAllow).
bool CommandAllowed(const ClientInfo& c);

// The online-list request, SNAC 0x0001/0x0080 on a connection that has not logged in, asks
// for every signed-on session. Each reply frame is SNAC 0x0001/0x0081 (flags 0x0001 while
// more frames follow, request id 0) carrying a record count (16 bits, little-endian) and that
// many records of 18 bytes: UIN (little-endian), external and internal IPv4 address (network
// order), direct-connection port, status flags and status (16 bits each, little-endian), the
// same fields as the status reply.
constexpr size_t kOnlineRecordSize = 18;
constexpr size_t kOnlineRecordsPerFrame = 3000;
void SendOnlineList(ClientInfo& c);

// The end-session request, SNAC 0x0001/0x0082 on a connection that has not logged in, with the
// user number (little-endian) in the request id: the administrator deletes that user. Every
// session of the user ends and its stored list is dropped without being written back. The
// reply is SNAC 0x0001/0x0083 with the number of sessions ended (16 bits, little-endian).
void EndUserSessions(ClientInfo& c, uint32_t uin);
