// Requests of the stored-list family (SNAC 0x0013) other than the authorization request and
// reply, which the offline store forwards.
#pragma once

struct ClientInfo;

void SsiRights(ClientInfo& c);        // 13/02 -> 13/03
void SsiSendList(ClientInfo& c);      // 13/04 -> 13/06
void SsiCheckList(ClientInfo& c);     // 13/05 -> 13/0F when unchanged, else 13/06
void SsiActivate(ClientInfo& c);      // 13/07: the buddies are watched from now on
void SsiAddItems(ClientInfo& c);      // 13/08 -> 13/0E
void SsiUpdateItems(ClientInfo& c);   // 13/09 -> 13/0E
void SsiDeleteItems(ClientInfo& c);   // 13/0A -> 13/0E
void SsiEditBracket(ClientInfo& c);   // 13/11 and 13/12: nothing to do
void SsiFutureAuthGrant(ClientInfo& c);  // 13/14 -> 13/15 to a connected target
// 13/1A: forwarded as the offline store does; a grant also clears the "awaiting
// authorization" mark of the requester's stored buddy item and starts the watch.
void SsiAuthReply(ClientInfo& c);
