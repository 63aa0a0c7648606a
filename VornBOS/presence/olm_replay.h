// Replay of a user's offline-message file: records are read one chunk at a time from where
// the last one ended and queued only while the connection's send queue is short, so a large
// file never sits in memory whole. Each record is checked before it is sent; a record that a
// damaged file ran into the next one is skipped, so two records are never sent as one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "VornBOS/directory/meta.h"

struct ClientInfo;

// How the records of a replay reach the client: record queues one stored frame (bytes
// [rec, rec + size)); end runs after the last one. A replay that stops on a read error never
// calls end, so the client does not ask for the deletion of what it did not get.
struct OfflineReplayTarget {
  std::function<void(ClientInfo& c, const uint8_t* rec, size_t size)> record;
  std::function<void(ClientInfo& c)> end;
};
// Starts (or restarts) a replay of the client's store. False when there is nothing to replay:
// no file, or a file that cannot be read (logged); nothing is sent then.
bool StartOfflineReplay(ClientInfo& c, OfflineReplayTarget target);
// Meta request 0x003C: the records as stored, stamped with fresh sequence numbers and the
// request's id and meta sequence, then the end-of-offline reply (0x0042).
void StartOfflineReplay(const MetaRequest& req);
// Removes the records that a replay to this session went through to its end; records
// appended since stay for the next replay. Without a finished replay nothing is removed.
void DeleteReplayedOfflineMessages(ClientInfo& c);
// Called when the connection's queue has drained: queues the next records, and the end
// reply after the last one.
void ContinueOfflineReplay(ClientInfo& c);
bool OfflineReplayActive(const ClientInfo& c);

// The start of a stored frame that can be sent as it is: 0 when bytes[0..len) do not begin
// with a sound record, else its whole length.
size_t SoundRecordLength(const uint8_t* bytes, size_t len);
