// ICQ meta requests (SNAC 0x0015/0x0002) and their replies (SNAC 0x0015/0x0003).
// Everything inside the meta data is little-endian.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "server-core/wire.h"

struct ClientInfo;

// The request being answered: what every reply copies from it, and the subtype data
// (the bytes after the subtype field) for the handlers.
struct MetaRequest {
  ClientInfo& client;
  uint8_t reqId[4];
  uint16_t sequence;
  uint16_t type;
  uint16_t subtype;
  const uint8_t* data;  // subtype data
  size_t len;           // bytes of subtype data received
};

constexpr uint16_t kMetaReply = 0x07DA;
constexpr uint8_t kMetaSuccess = 0x0A;
constexpr uint8_t kMetaFailure = 0x32;
constexpr size_t kMetaHeaderSize = 30;  // frame bytes before the reply subtype

// Starts a reply frame: the stamped header (left zero), reply type 0x07DA, the reply subtype
// and the result byte. Handlers append the reply data with the writer's little-endian calls.
WireWriter StartMetaReply(uint16_t subtype, uint8_t result);
// Starts a reply frame of another reply type (offline messages) with no subtype or result.
WireWriter StartMetaFrame(uint16_t replyType);

// Stamps the envelope (sequence, lengths, request id, owner UIN, meta sequence) and queues it.
void FinishMetaReply(const MetaRequest& req, std::vector<uint8_t> frame);
// Sends a copy of a canned reply frame.
void SendMetaTemplate(const MetaRequest& req, const std::vector<uint8_t>& canned);

// Sets the SNAC flag "more replies follow" (0x0001) on the queued frames from index first
// on, all but the last, so clients know where a multi-part answer ends.
void MarkMoreRepliesFollow(ClientInfo& c, size_t first);

// Canned replies.
const std::vector<uint8_t>& CannedReply(uint16_t subtype);  // 0x07DA replies listed in meta.cpp
const std::vector<uint8_t>& EndOfOfflineReply();

void HandleMetaRequest(ClientInfo& c);
