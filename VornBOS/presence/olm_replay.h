// Replay of a user's offline-message file: records are read one chunk at a time from where
// the last one ended and queued only while the connection's send queue is short, so a large
// file never sits in memory whole. Each record is checked before it is sent; a record that a
// damaged file ran into the next one is skipped, so two records are never sent as one.
#pragma once
#include <cstddef>
#include <cstdint>

#include "VornBOS/directory/meta.h"

struct ClientInfo;

// Starts (or restarts) the replay for the request; queues the first records.
void StartOfflineReplay(const MetaRequest& req);
// Called when the connection's queue has drained: queues the next records, and the end
// reply after the last one.
void ContinueOfflineReplay(ClientInfo& c);
bool OfflineReplayActive(const ClientInfo& c);

// The start of a stored frame that can be sent as it is: 0 when bytes[0..len) do not begin
// with a sound record, else its whole length.
size_t SoundRecordLength(const uint8_t* bytes, size_t len);
