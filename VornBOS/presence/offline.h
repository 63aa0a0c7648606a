// The offline-message store: one file of ready-to-send frames per user.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "VornBOS/directory/meta.h"

struct ClientInfo;
struct IcbmMessage;

std::string OlmFilePath(uint32_t uin);

// Appends the message to the recipient's store. The record is durable only at the end of the
// round (CommitOfflineStores); the messaging handler answers the sender through
// TakeStoreOutcome and AnswerStoredMessage.
void StoreOfflineMessage(ClientInfo& sender, const IcbmMessage& msg, uint32_t recipientUin, uint32_t from);

// What the stores of the sender's current message came to: the files written (durable at the
// round's end) and whether a store was refused, with the ICBM error code for the sender.
struct StoreOutcome {
  std::vector<std::string> files;
  bool failed = false;
  uint16_t errorCode = 0;
};
// Takes (and forgets) the outcome of the sender's frame being handled; empty when nothing was stored.
StoreOutcome TakeStoreOutcome(const ClientInfo& sender);
// Answers a message: the error reply (04/01) at once when a store was refused; else ack (a
// ready SNAC body, may be empty) at once when nothing was stored, or after the round's flush
// when it was: the acknowledgement if every file made it to the disk, the error reply if not.
void AnswerStoredMessage(ClientInfo& sender, const StoreOutcome& stored, std::vector<uint8_t> ack);
// The round's end: one fdatasync per store written in the round, then the waiting answers.
void CommitOfflineStores();
// True when answers to the client wait for the round's flush.
bool OfflineAnswersWaiting(const ClientInfo& c);
// Commits first when the round has written to path (before the file is replaced).
void FlushOfflineStoresBefore(const std::string& path);
void ForwardAuthRequest(ClientInfo& c);
// 13/1A: the requester gets 13/1B (now, or from its offline store). False for a bad SNAC.
bool ForwardAuthReply(ClientInfo& c);
void SendOfflineMessages(const MetaRequest& req);
// Meta request 0x003E: removes the records replayed to this session (olm_replay.h).
void DeleteOfflineMessages(ClientInfo& c);
