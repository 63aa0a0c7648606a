#pragma once
#include <cstdint>

struct ClientInfo;

// Answers a command client's status query with the 30-byte status frame of the user's session.
void SendStatusReply(ClientInfo& c, uint32_t uin);
