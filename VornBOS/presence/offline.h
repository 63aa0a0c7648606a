// The offline-message store: one file of ready-to-send frames per user.
#pragma once
#include <cstdint>
#include <string>

#include "VornBOS/directory/meta.h"

struct ClientInfo;
struct IcbmMessage;

std::string OlmFilePath(uint32_t uin);

void StoreOfflineMessage(ClientInfo& sender, const IcbmMessage& msg, uint32_t recipientUin, uint32_t from);
void ForwardAuthRequest(ClientInfo& c);
// 13/1A: the requester gets 13/1B (now, or from its offline store). False for a bad SNAC.
bool ForwardAuthReply(ClientInfo& c);
void SendOfflineMessages(const MetaRequest& req);
void DeleteOfflineMessages(ClientInfo& c);
