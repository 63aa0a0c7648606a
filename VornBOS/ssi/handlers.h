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
void SsiEditStart(ClientInfo& c);     // 13/11: edits are written at the bracket's end
void SsiEditEnd(ClientInfo& c);       // 13/12: one write of every edit since 13/11
// 13/14: recorded with the target (its later add needs no request), 13/15 to it when connected.
void SsiFutureAuthGrant(ClientInfo& c);
// 13/1A: 13/1B to the requester (now or from its offline store). A grant is recorded with the
// requester: its buddy items lose the "awaiting authorization" mark, its list time moves, its
// client gets a 13/09 of the changed items and sees the granter's presence.
void SsiAuthReply(ClientInfo& c);
