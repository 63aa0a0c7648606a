#include "VornBOS/presence/olm_replay.h"

#include <array>
#include <cerrno>
#include <cstring>
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
  OfflineReplayTarget target;
};

// Replays in progress, and how far the last finished replay of a session went.
std::unordered_map<const ClientInfo*, Replay> replays;
std::unordered_map<const ClientInfo*, Replay> finished;

Replay* Find(std::unordered_map<const ClientInfo*, Replay>& in, const ClientInfo& c) {
  auto it = in.find(&c);
  return it == in.end() || it->second.created != c.created ? nullptr : &it->second;
}

// Forgets entries whose session has gone.
void Sweep(std::unordered_map<const ClientInfo*, Replay>& in) {
  for (auto it = in.begin(); it != in.end();) {
    ClientInfo* live = FindBySocket(it->second.socket);
    if (live == it->first && live->created == it->second.created)
      ++it;
    else
      it = in.erase(it);
  }
}

void Finish(ClientInfo& c, Replay& r) {
  OfflineReplayTarget target = std::move(r.target);
  Replay done{r.created, r.socket, r.offset, {}};
  replays.erase(&c);
  finished[&c] = done;
  if (target.end) target.end(c);
}

// A read error: the replay ends without its end reply, the file stays as it is.
void Abandon(ClientInfo& c, int err) {
  WriteLog("OLM read failed (%s). Replay stopped", 11, c.addr.c_str(), c.UIN, std::strerror(err));
  replays.erase(&c);
}

void QueueRecord(ClientInfo& c, Replay& r, const uint8_t* rec, size_t size) {
  size_t n = size - 6;
  if (n > kMaxOlmRecord) WriteLog("OLM too lage=%d (max=8kB)", 11, c.addr.c_str(), c.UIN, static_cast<int>(n));
  r.target.record(c, rec, size);
}

// The meta reply form: the record as stored with the client's sequence number, the
// request's id and, in offline messages, the request's meta sequence.
void QueueMetaRecord(ClientInfo& c, const uint8_t reqId[4], uint16_t sequence, const uint8_t* rec, size_t size) {
  std::vector<uint8_t> frame(rec, rec + size);
  if (frame.size() >= 16) std::copy(reqId, reqId + 4, frame.begin() + 12);
  if (frame.size() >= 30 && GetBe16(&frame[6]) == 0x0015 && GetBe16(&frame[8]) == 0x0003) {
    frame[28] = static_cast<uint8_t>(sequence);
    frame[29] = static_cast<uint8_t>(sequence >> 8);
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

enum class Step { More, Done, Failed };

// Queues records from one chunk read at r.offset.
Step QueueFromChunk(ClientInfo& c, Replay& r) {
  plat::FileRead chunk = plat::ReadFileAt(OlmFilePath(c.UIN), r.offset, kChunk);
  if (chunk.failed()) {
    Abandon(c, chunk.err);
    return Step::Failed;
  }
  if (chunk.absent() || chunk->size() < 6) return Step::Done;
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
      r.offset += b.size();  // the remains of a record cut short go with the replayed ones
      return Step::Done;
    }
    WriteLog("OLM record damaged. Offset=%d", 11, c.addr.c_str(), c.UIN, static_cast<int>(r.offset + pos));
    pos = next;
  }
  r.offset += pos;
  if (atEnd && b.size() - pos < 6) {
    r.offset += b.size() - pos;  // a tail too short for a header is past the end as well
    return Step::Done;
  }
  return pos > 0 || c.queuedBytes >= kLowWater ? Step::More : Step::Done;
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

bool StartOfflineReplay(ClientInfo& c, OfflineReplayTarget target) {
  uint64_t size = 0;
  int err = 0;
  if (!plat::FileSize(OlmFilePath(c.UIN), size, err)) {
    if (err != ENOENT) WriteLog("OLM read failed (%s). Replay stopped", 11, c.addr.c_str(), c.UIN, std::strerror(err));
    return false;  // no file: no reply at all
  }
  Sweep(replays);
  Sweep(finished);
  Replay r;
  r.created = c.created;
  r.socket = c.ClnSocket;
  r.target = std::move(target);
  replays[&c] = std::move(r);
  ContinueOfflineReplay(c);
  return true;
}

void StartOfflineReplay(const MetaRequest& req) {
  std::array<uint8_t, 4> reqId{req.reqId[0], req.reqId[1], req.reqId[2], req.reqId[3]};
  uint16_t sequence = req.sequence;
  OfflineReplayTarget target;
  target.record = [reqId, sequence](ClientInfo& c, const uint8_t* rec, size_t size) {
    QueueMetaRecord(c, reqId.data(), sequence, rec, size);
  };
  target.end = [reqId, sequence](ClientInfo& c) {
    MetaRequest end{c, {reqId[0], reqId[1], reqId[2], reqId[3]}, sequence, 0x003C, 0, nullptr, 0};
    SendMetaTemplate(end, EndOfOfflineReply());
  };
  StartOfflineReplay(req.client, std::move(target));
}

void ContinueOfflineReplay(ClientInfo& c) {
  while (Replay* r = Find(replays, c)) {
    if (c.queuedBytes >= kLowWater) return;
    switch (QueueFromChunk(c, *r)) {
      case Step::More:
        continue;
      case Step::Done:
        return Finish(c, *r);
      case Step::Failed:
        return;
    }
  }
}

bool OfflineReplayActive(const ClientInfo& c) {
  auto it = replays.find(&c);
  return it != replays.end() && it->second.created == c.created;
}

void DeleteReplayedOfflineMessages(ClientInfo& c) {
  Replay* done = Find(finished, c);
  if (!done) return;  // nothing was delivered to this session: nothing to remove
  uint64_t end = done->offset;
  finished.erase(&c);
  std::string path = OlmFilePath(c.UIN);
  FlushOfflineStoresBefore(path);
  uint64_t size = 0;
  int err = 0;
  if (!plat::FileSize(path, size, err)) {
    if (err != ENOENT) WriteLog("OLM delete failed (%s). File kept", 11, c.addr.c_str(), c.UIN, std::strerror(err));
    return;
  }
  if (size < end) {
    WriteLog("OLM changed during replay. File kept", 11, c.addr.c_str(), c.UIN);
    return;
  }
  if (size == end) {
    if (!plat::RemoveFile(path))
      WriteLog("OLM delete failed (%s). File kept", 11, c.addr.c_str(), c.UIN, std::strerror(errno));
    return;
  }
  // Messages stored after the replay began stay, in a file that holds only them.
  plat::FileRead rest = plat::ReadFileAt(path, end, static_cast<size_t>(size - end));
  if (!rest.ok() || !plat::WriteFileAtomic(path, rest->data(), rest->size(), 0600)) {
    WriteLog("OLM delete failed (%s). File kept", 11, c.addr.c_str(), c.UIN,
             std::strerror(rest.ok() ? errno : rest.err));
    return;
  }
  WriteLog("OLM delivered part removed. Kept=%d", 9, c.addr.c_str(), c.UIN, static_cast<int>(rest->size()));
}
