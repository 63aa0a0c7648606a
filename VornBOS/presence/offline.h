// The offline-message store: one file of ready-to-send frames per user.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "VornBOS/directory/meta.h"
#include "platform/event_loop.h"

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
// True when something was stored (or refused) since the last take: a take is then due.
bool StoreOutcomeWaiting();
// Answers a message: the error reply (04/01) at once when a store was refused; else ack (a
// ready SNAC body, may be empty) at once when nothing was stored, or after the round's flush
// when it was: the acknowledgement if every file made it to the disk, the error reply if not.
void AnswerStoredMessage(ClientInfo& sender, const StoreOutcome& stored, std::vector<uint8_t> ack);
// Posted by the flush thread when a flush has ended (wParam: the flush's number).
constexpr uint32_t WM_OLM_FLUSHED = plat::WM_USER + 40;

// Flushes now, on this thread: waits for a flush in progress, then one fdatasync per store
// written since, then the waiting answers.
void CommitOfflineStores();
// The end-of-round hook: unless a flush is running, the stores written since the last one are
// flushed on a thread of their own (one fdatasync per file), and WM_OLM_FLUSHED comes back.
void CommitOfflineStoresAtRoundEnd();
// WM_OLM_FLUSHED: the answers of that flush are sent (acknowledgements or error replies).
void OnOfflineStoresFlushed(uintptr_t id);
// True when answers to the client wait for a flush.
bool OfflineAnswersWaiting(const ClientInfo& c);
// A close of a connection whose answers wait for a flush: true when the close is to wait;
// FD_CLOSE is posted again once the answers are queued.
bool DeferCloseForOfflineAnswers(ClientInfo& c);
// Settles every store first (before the file at path is cut or replaced).
void FlushOfflineStoresBefore(const std::string& path);
void ForwardAuthRequest(ClientInfo& c);
// 13/1A: the requester gets 13/1B (now, or from its offline store). False for a bad SNAC.
bool ForwardAuthReply(ClientInfo& c);
void SendOfflineMessages(const MetaRequest& req);
// SNAC 0x0004/0x0010: the same store replayed as incoming messages, then 0x0004/0x0017; what
// was replayed is removed (offline_retrieve.cpp).
void RetrieveOfflineMessages(ClientInfo& c);
// Meta request 0x003E: removes the records replayed to this session (olm_replay.h).
void DeleteOfflineMessages(ClientInfo& c);
