// Handlers of the meta subtypes that read, change and search the user directory, and the
// SMS gateway. Each answers the request through FinishMetaReply / SendMetaTemplate.
#pragma once
#include "VornBOS/directory/meta.h"

void SendFullInfo(const MetaRequest& req);   // 0x04B2 and 0x04D0
void SendShortInfo(const MetaRequest& req);  // 0x04BA

void SetHomeInfo(const MetaRequest& req);  // 0x03EA
void SetWorkInfo(const MetaRequest& req);  // 0x03F3
void SetMoreInfo(const MetaRequest& req);  // 0x03FD
void SetAbout(const MetaRequest& req);     // 0x0406
void SetPassword(const MetaRequest& req);  // 0x042E

void SearchByName(const MetaRequest& req);   // 0x0515 and 0x055F (with TLV 0x015E too)
void SearchWhitePages(const MetaRequest& req);  // 0x0533, fixed fields
void SearchByUin(const MetaRequest& req);    // 0x0573 with TLV 0x0136, and 0x0569
void SearchByEmail(const MetaRequest& req);  // 0x0573 with TLV 0x015E

void SendSms(const MetaRequest& req);  // 0x1482

// User lookup by e-mail address (SNAC 0x000A/0x0002), answered with 0x000A/0x0003 or 0x000A/0x0001.
void LookupByEmail(ClientInfo& c);
