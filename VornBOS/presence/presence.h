// Contact lists, presence notices, message routing and broadcast lists.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ClientInfo;
struct IcbmMessage;
struct SsiPrivacy;

// Contact lists (SNAC 0x03/0x04, 0x13/0x04-0x05).
void AddContacts(ClientInfo& c);
void SendListUpToDate(ClientInfo& c);
// The "Size" and "Date" of the user file's "Contacts" section (time -1 when unset).
void ReadListStamp(uint32_t uin, uint32_t& time, uint32_t& count);
// The buddies watched through the stored list become `wanted` (within MaxContacts together
// with the uploaded entries): new ones get their online notice, a buddy that the upload still
// names stays watched.
void SetStoredWatches(ClientInfo& c, std::vector<uint32_t> wanted);
// The reverse index: the sessions whose contact list holds uin (each once).
const std::vector<ClientInfo*>& WatchersOf(uint32_t uin);
void AddWatch(ClientInfo& watcher, uint32_t uin);
void DropWatches(ClientInfo& watcher);

// Presence notices. Each watcher gets them only while the owner's privacy lets it see the owner.
void NotifyStatusChange(ClientInfo& c);
// The owner's privacy changed from `before`: watchers who can now see it get its online
// notice, those who no longer can get its departure notice.
void RefreshPresence(ClientInfo& c, const SsiPrivacy& before);
std::vector<uint8_t> BuildOnlineNotice(const ClientInfo& c);
void NotifyDeparture(ClientInfo& c);

// Messages (SNAC 0x04/0x06 and 0x04/0x0B).
// False when the message was refused (no server acknowledgement is then due); the parsed
// message is left in m.
bool RouteMessage(ClientInfo& sender, IcbmMessage& m);
bool RouteMessage(ClientInfo& sender);
// Queues the incoming-message frame of a parsed message for a connected recipient; `from`
// is the number shown as sender (the sender's own, or a broadcast address).
void DeliverMessage(ClientInfo& sender, const IcbmMessage& m, ClientInfo& recipient, uint32_t from);
void RelayAdvancedMessage(ClientInfo& sender);
void ForwardAck(ClientInfo& c);
// Typing notification (0x04/0x14) to a connected recipient, naming the sender.
void RelayTyping(ClientInfo& c);
// The server acknowledgement (0x04/0x0C) of a routed channel-1 message carrying TLV 0x0003.
void AckIfRequested(ClientInfo& c, const IcbmMessage& m);
// ICBM parameters (0x04/0x02): keeps on which channels the client asked for typing events.
void SetIcbmParams(ClientInfo& c);
bool WantsTypingEvents(const ClientInfo& c, uint8_t channel);
// Location information (0x02/0x04): takes the capabilities of TLV 0x0005 wherever it stands,
// whole 16-byte entries only, up to seven. False when there is none.
bool StoreCapabilitiesTlv(ClientInfo& c);

// Broadcast lists.
struct SendList {
  uint32_t number = 0;
  std::vector<uint32_t> members;
};
const SendList* FindList(uint32_t number);
// Builds the list N and appends it to the table (called by the configuration load).
void AddSendList(uint32_t number);
void ClearSendLists();
const std::vector<SendList>& SendLists();
// The sender's rendered relay text (rendered once per connection).
const std::string& RenderRelayText(ClientInfo& sender);
