#include "VornBOS/presence/olm_replay.h"

#include <unordered_map>
#include <vector>

#include "VornBOS/presence/offline.h"
#include "VornBOS/session.h"
#include "platform/files.h"
#include "server-core/log.h"
#include "server-core/wire.h"

namespace {

constexpr size_t kMaxOlmRecord = 8000;
constexpr size_t kChunk = 128 * 1024;      // holds any record (at most 65 535 + 6 bytes) twice
constexpr size_t kLowWater = 64 * 1024;    // records are queued while less than this waits

struct Replay {
  uint64_t created = 0;  // the session the entry belongs to (addresses are reused)
  plat::Socket socket = -1;
  uint64_t offset = 0;
  uint8_t reqId[4] = {0, 0, 0, 0};
  uint16_t sequence = 0;
};

std::unordered_map<const ClientInfo*, Replay> replays;

Replay* Find(const ClientInfo& c) {
  auto it = replays.find(&c);
  return it == replays.end() || it->second.created != c.created ? nullptr : &it->second;
}

// Forgets entries whose session has gone.
void Sweep() {
  for (auto it = replays.begin(); it != replays.end();) {
    ClientInfo* live = FindBySocket(it->second.socket);
    if (live == it->first && live->created == it->second.created)
      ++it;
    else
      it = replays.erase(it);
  }
}

void Finish(ClientInfo& c, const Replay& r) {
  MetaRequest req{c, {r.reqId[0], r.reqId[1], r.reqId[2], r.reqId[3]}, r.sequence, 0x003C, 0, nullptr, 0};
  replays.erase(&c);
  SendMetaTemplate(req, EndOfOfflineReply());
}

void QueueRecord(ClientInfo& c, const Replay& r, const uint8_t* rec, size_t size) {
  size_t n = size - 6;
  if (n > kMaxOlmRecord) WriteLog("OLM too lage=%d (max=8kB)", 11, c.addr.c_str(), c.UIN, static_cast<int>(n));
  std::vector<uint8_t> frame(rec, rec + size);
  if (frame.size() >= 16) std::copy(r.reqId, r.reqId + 4, frame.begin() + 12);
  if (frame.size() >= 30 && GetBe16(&frame[6]) == 0x0015 && GetBe16(&frame[8]) == 0x0003) {
    frame[28] = static_cast<uint8_t>(r.sequence);
    frame[29] = static_cast<uint8_t>(r.sequence >> 8);
  }
  QueueSessionFrame(c, std::move(frame));
  WriteLog("Send OffLineMsg. Size=%d", 9, c.addr.c_str(), c.UIN, static_cast<int>(size));
}

// The next offset after from where a sound record starts in the chunk, or where a record
// that the chunk holds only in part starts; the chunk's end when there is none.
size_t Resync(const std::vector<uint8_t>& chunk, size_t from) {
  for (size_t j = from; j + 1 < chunk.size(); ++j) {
    if (chunk[j] != 0x2A || chunk[j + 1] != 2) continue;
    if (chunk.size() - j < 6 || chunk.size() - j - 6 < GetBe16(&chunk[j + 4])) return j;
    if (SoundRecordLength(&chunk[j], chunk.size() - j)) return j;
  }
  return chunk.size();
}

// Queues records from one chunk read at r.offset. Returns false when the file is done.
bool QueueFromChunk(ClientInfo& c, Replay& r) {
  auto chunk = plat::ReadFileAt(OlmFilePath(c.UIN), r.offset, kChunk);
  if (!chunk || chunk->size() < 6) return false;
  const std::vector<uint8_t>& b = *chunk;
  bool atEnd = b.size() < kChunk;
  size_t pos = 0;
  while (pos + 6 <= b.size() && c.queuedBytes < kLowWater) {
    size_t whole = GetBe16(&b[pos + 4]) + 6;
    bool held = b.size() - pos >= whole;
    if (!atEnd && (!held || (whole == b.size() - pos && pos > 0))) break;  // read again from here
    if (held && SoundRecordLength(&b[pos], b.size() - pos) == whole) {
      QueueRecord(c, r, &b[pos], whole);
      pos += whole;
      continue;
    }
    size_t next = Resync(b, pos + 1);
    if (!held && next == b.size()) {
      WriteLog("OLM record cut. Size=%d", 11, c.addr.c_str(), c.UIN, static_cast<int>(whole));
      return false;
    }
    WriteLog("OLM record damaged. Offset=%d", 11, c.addr.c_str(), c.UIN, static_cast<int>(r.offset + pos));
    pos = next;
  }
  r.offset += pos;
  if (atEnd && b.size() - pos < 6) return false;
  return pos > 0 || c.queuedBytes >= kLowWater;
}

}  // namespace

size_t SoundRecordLength(const uint8_t* p, size_t len) {
  if (len < 16 || p[0] != 0x2A || p[1] != 2) return 0;
  size_t whole = GetBe16(p + 4) + 6u;
  if (whole < 16 || whole > len) return 0;
  uint16_t family = GetBe16(p + 6), subtype = GetBe16(p + 8);
  if (family == 0x0013) return subtype == 0x19 || subtype == 0x1B || subtype == 0x1C ? whole : 0;
  if (family != 0x0015 || subtype != 0x0003 || whole < 53) return 0;
  // An offline message: its inner lengths, the text's NUL and the nine closing zero bytes.
  WireReader in(p, whole);
  in.seek(18);
  uint16_t tlvLen = in.be16(), metaLen = in.le16();
  in.seek(42);
  size_t m = in.le16();
  if (tlvLen != whole - 20 || metaLen != whole - 22 || m + 53 != whole) return 0;
  for (size_t i = 43 + m; i < whole; ++i)
    if (p[i] != 0) return 0;
  // The next record, where the bytes show it, must begin where this one ends.
  if (len > whole && p[whole] != 0x2A) return 0;
  return whole;
}

void StartOfflineReplay(const MetaRequest& req) {
  ClientInfo& c = req.client;
  if (!plat::FileExists(OlmFilePath(c.UIN))) return;  // no file: no reply at all
  Sweep();
  Replay r;
  r.created = c.created;
  r.socket = c.ClnSocket;
  std::copy(req.reqId, req.reqId + 4, r.reqId);
  r.sequence = req.sequence;
  replays[&c] = r;
  ContinueOfflineReplay(c);
}

void ContinueOfflineReplay(ClientInfo& c) {
  Replay* r = Find(c);
  if (!r) return;
  while (c.queuedBytes < kLowWater) {
    if (!QueueFromChunk(c, *r)) return Finish(c, *r);
  }
}

bool OfflineReplayActive(const ClientInfo& c) { return Find(c) != nullptr; }
