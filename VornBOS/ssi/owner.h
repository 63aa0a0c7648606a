// The stored lists of signed-on users, kept in memory: loaded once when first needed, written
// back once per edit request (or once per 13/11 ... 13/12 bracket), forgotten when the owner's
// last session ends. Also the privacy and authorization questions that other parts ask.
#pragma once
#include <cstdint>
#include <vector>

#include "VornBOS/ssi/store.h"

struct ClientInfo;

// What the list says about who may see and reach its owner (sorted numbers).
struct SsiPrivacy {
  int mode = -1;  // TLV 0x00CA of the visibility item: 1 all, 2 nobody, 3 visible list, 4 all
                  // but the invisible list, 5 buddies only; -1 when there is no such item
  std::vector<uint32_t> permit, deny, ignore, buddies;
};

// An edit acknowledgement (13/0E) held until the write that makes it true is on the disk.
struct SsiHeldAck {
  uint64_t session = 0;  // ClientInfo::created of the session that asked
  uint8_t reqId[4] = {};
  std::vector<uint16_t> status;
};

struct SsiOwner {
  SsiList list;
  bool writing = false;  // a write is in flight
  bool leaving = false;  // the owner's last session ended while a write was in flight
  std::vector<SsiHeldAck> held, inflight;  // waiting for the next write, for the one in flight
  bool loaded = false;
  bool failed = false;   // the file could not be read or parsed: not served, never written
  bool stored = false;   // a file exists (or was written) for this list
  bool dirty = false;    // changed since the last write
  bool discard = false;  // the user was deleted: nothing is written back
  int bracket = 0;       // open 13/11 ... 13/12 brackets
  size_t bytes = 0;      // SsiWireSize of every item
  SsiPrivacy privacy;
};

// The list of a signed-on owner, loaded on first use (a load error is logged once and leaves
// failed set).
SsiOwner& OwnerList(uint32_t uin);
// The owner's list when it is in memory.
SsiOwner* LoadedOwnerList(uint32_t uin);
// Recomputes bytes and privacy after a change.
void RecountOwner(SsiOwner& o);
// Writes a dirty list now, on this thread; false when the write failed (the list stays dirty).
bool FlushOwner(uint32_t uin, SsiOwner& o);
// Has a dirty list written off the event loop; held acknowledgements go out when it is done.
void ScheduleWrite(uint32_t uin, SsiOwner& o);
// Sends an acknowledgement now, or holds it behind the write in flight or about to start.
void AckEdit(ClientInfo& c, SsiOwner& o, const uint8_t reqId[4], const std::vector<uint16_t>& status, bool changed);
// A write finished: acknowledgements go out; after a failure the list goes back to the file's
// content and every change not on the disk is answered "not stored".
void SsiWriteDone(uint32_t uin, bool ok);
// Server stop: every list not yet on the disk is written.
void FlushAllOwnerLists();
// The session ends: when it was the owner's last one, the list is written if dirty and forgotten.
void SsiSessionEnded(ClientInfo& c);
// The user is being deleted: the list is forgotten without being written.
void DiscardOwnerList(uint32_t uin);

SsiPrivacy BuildPrivacy(const SsiList& list);
// The privacy of any user: from memory when signed on, else read from the file.
SsiPrivacy PrivacyOf(uint32_t uin);

// Every number the owner may watch through its list: named by a buddy item and authorized.
std::vector<uint32_t> SsiWatched(const SsiList& list, uint32_t owner);

// Whether viewer may see the presence of owner whose status is status (4 bytes as sent).
bool MaySee(const SsiPrivacy& p, const uint8_t status[4], uint32_t owner, uint32_t viewer);
bool MaySee(ClientInfo& owner, uint32_t viewer);

enum class MessageVerdict { Deliver, Refuse, Drop };
// A message from sender to recipient: refused (denied sender), dropped (ignored sender).
MessageVerdict MessageVerdictFor(uint32_t recipient, uint32_t sender);
// The same, for a caller that has looked the recipient's session up already (null: offline).
MessageVerdict MessageVerdictFor(uint32_t recipient, uint32_t sender, const ClientInfo* session);

// A user whose file says so ([Main] AuthRequired=1) must authorize who watches them.
bool NeedsAuthorization(uint32_t uin);
// Whether watcher may watch target: the target does not require authorization, or granted it.
bool MayWatch(const SsiList& watcherList, uint32_t watcher, uint32_t target);
