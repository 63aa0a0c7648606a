#include "server-core/flap.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "server-core/config.h"
#include "server-core/log.h"

plat::EventLoop* EventWindow = nullptr;

void PostSocketEvent(plat::Socket s, uint16_t event) {
  if (EventWindow) EventWindow->PostSocket(WM_SOCKET_EVENT, s, plat::MakeSelectLParam(event, 0));
}

namespace {

constexpr size_t kReadAhead = 16384;
constexpr size_t kMaxPieces = 64;

// Takes up to want bytes for the current part: first what was read ahead, then from the
// socket. A read from the socket asks for all that is waiting; what the part does not take is
// kept for the following parts. Returns the bytes taken, 0 when the peer has closed, -1 when
// nothing could be taken (err set).
long TakeBytes(FlapConn& c, uint8_t* dst, size_t want, int& err) {
  size_t taken = 0;
  if (c.readAheadPos < c.readAhead.size()) {
    taken = std::min(want, c.readAhead.size() - c.readAheadPos);
    std::copy_n(c.readAhead.data() + c.readAheadPos, taken, dst);
    c.readAheadPos += taken;
    if (c.readAheadPos == c.readAhead.size()) {
      std::vector<uint8_t>().swap(c.readAhead);
      c.readAheadPos = 0;
    }
    if (taken == want) {
      // Like a receive call that leaves data waiting: reading is announced again, unless the
      // owner goes on reading in the same pass.
      if (!c.readAhead.empty() && !c.onePass) PostSocketEvent(c.ClnSocket, plat::FD_READ);
      return static_cast<long>(taken);
    }
  }
  // The socket is read also when the part is still short, so that data that came in the
  // meantime is not left without a read event.
  size_t rest = want - taken;
  if (c.onePass && c.socketEmpty) return static_cast<long>(taken);  // 0: nothing now
  long n;
  if (rest >= kReadAhead) {
    n = EventWindow->Recv(c.ClnSocket, dst + taken, rest, err);
    if (c.onePass && n >= 0 && static_cast<size_t>(n) < rest) c.socketEmpty = true;
  } else {
    static thread_local uint8_t scratch[kReadAhead];
    n = EventWindow->Recv(c.ClnSocket, scratch, sizeof scratch, err);
    if (c.onePass && n >= 0 && static_cast<size_t>(n) < sizeof scratch) c.socketEmpty = true;
    if (n > 0) {
      size_t use = std::min(rest, static_cast<size_t>(n));
      std::copy_n(scratch, use, dst + taken);
      if (static_cast<size_t>(n) > use) c.readAhead.assign(scratch + use, scratch + n);
      n = static_cast<long>(use);
    }
  }
  if (n < 0) return taken > 0 ? static_cast<long>(taken) : -1;
  return static_cast<long>(taken) + n;
}

}  // namespace

void PostWriteAtRoundEnd(plat::Socket s) {
  if (EventWindow) EventWindow->PostSelectAtRoundEnd(WM_SOCKET_EVENT, s, plat::FD_WRITE);
}

RecvStatus RecvPiece(FlapConn& c, const FlapDumpTitles& titles, int& err) {
  FlapFrame& in = c.in;
  if (in.waitBytes <= 0) return RecvStatus::Idle;
  if (c.ClnSocket < 0) return RecvStatus::BadSocket;
  uint8_t* dst = in.isWaitHead ? in.head + (kFlapHeader - in.waitBytes)
                               : in.data.data() + (in.length - in.waitBytes);
  long n = TakeBytes(c, dst, static_cast<size_t>(in.waitBytes), err);
  if (n > 0) c.bytesTaken += static_cast<uint64_t>(n);
  if (n < 0) return RecvStatus::Failed;
  if (n == 0) return RecvStatus::Idle;
  in.waitBytes -= static_cast<int32_t>(n);
  if (in.waitBytes > 0) return RecvStatus::Partial;
  in.isWaitHead = !in.isWaitHead;
  if (!in.isWaitHead) {
    HexDump(in.head, kFlapHeader, titles.head);
    in.length = GetBe16(in.head + 4);
    if (in.head[0] != kFlapStart) return RecvStatus::BadStart;
    if (in.length == 0) return RecvStatus::ZeroLength;
    in.data.resize(in.length);  // every byte is written by the reads before the frame is handled
    in.waitBytes = in.length;
    // A data part that was read ahead whole is taken at once.
    if (c.readAhead.size() - c.readAheadPos >= in.length) return RecvPiece(c, titles, err);
    return RecvStatus::HeadDone;
  }
  HexDump(in.data.data(), in.length, titles.data);
  return RecvStatus::FrameDone;
}

bool CloseMustWait(FlapConn& c) {
  bool readAhead = c.readAheadPos < c.readAhead.size();
  bool held = c.in.waitBytes == 0 && c.in.isWaitHead && c.in.length > 0;
  if (!readAhead && !held) return false;
  FlapConn::ReadMark now{c.bytesTaken, c.in.waitBytes, c.in.isWaitHead};
  if (c.closeWaitMark && *c.closeWaitMark == now) return false;  // nothing moved: close now
  c.closeWaitMark = now;
  return true;
}

bool HeadFrameSent(const FlapConn& c) {
  return !c.sendQueue.empty() && c.sendQueue.front().waitBytes <= 0 && c.sendQueue.front().length >= kFlapHeader;
}

SendStatus SendPiece(FlapConn& c, int& err) {
  if (c.sendQueue.empty()) return SendStatus::Idle;
  if (c.ClnSocket < 0) return SendStatus::BadSocket;
  if (c.sendQueue.front().length < kFlapHeader) return SendStatus::Idle;
  if (HeadFrameSent(c)) return SendStatus::FrameSent;
  // The waiting frames, in order, up to the first that cannot be sent.
  plat::EventLoop::Piece pieces[kMaxPieces]{};
  size_t count = 0;
  for (FlapFrame& f : c.sendQueue) {
    if (count == kMaxPieces || f.waitBytes <= 0 || f.length < kFlapHeader) break;
    f.data[0] = kFlapStart;
    size_t offset = f.length - static_cast<size_t>(f.waitBytes);
    pieces[count++] = {f.data.data() + offset, static_cast<size_t>(f.waitBytes)};
  }
  long n = count == 1 ? EventWindow->Send(c.ClnSocket, pieces[0].data, pieces[0].len, err)
                      : EventWindow->SendPieces(c.ClnSocket, pieces, count, err);
  if (n < 0) return SendStatus::Failed;
  size_t left = static_cast<size_t>(n);
  for (size_t i = 0; i < count && left > 0; ++i) {
    FlapFrame& f = c.sendQueue[i];
    size_t part = std::min(left, static_cast<size_t>(f.waitBytes));
    f.waitBytes -= static_cast<int32_t>(part);
    left -= part;
  }
  if (c.sendQueue.front().waitBytes > 0) {
    PostWriteAtRoundEnd(c.ClnSocket);
    return SendStatus::Partial;
  }
  return SendStatus::FrameSent;
}

void DumpSentFrame(const FlapFrame& f) {
  HexDump(f.data.data(), kFlapHeader, "Send head");
  HexDump(f.data.data() + kFlapHeader, f.length - kFlapHeader, "Send FLAP");
}

void DropSentFrame(FlapConn& c) {
  const FlapFrame& f = c.sendQueue.front();
  if (HexDumpWanted()) DumpSentFrame(f);
  c.queuedBytes -= std::min<size_t>(c.queuedBytes, f.length);
  c.sendQueue.pop_front();
}

void PopSentFrame(FlapConn& c) {
  DropSentFrame(c);
  PostWriteAtRoundEnd(c.ClnSocket);
}

bool IsConnectionLost(int err) {
  return err == ECONNRESET || err == EPIPE || err == ENOTCONN || err == ECONNABORTED ||
         err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH;
}

std::atomic<uint64_t> SendQueueOverflows{0};

namespace {

// True when a frame of len bytes may join the queue; otherwise the connection is closed.
bool Admit(FlapConn& c, size_t len) {
  if (c.queueOverflow) return false;
  if (Cfg.SendQueueMax == 0 || c.queuedBytes + len <= Cfg.SendQueueMax) {
    c.queuedBytes += len;
    return true;
  }
  c.queueOverflow = true;
  SendQueueOverflows.fetch_add(1, std::memory_order_relaxed);
  WriteLog("Send queue overflow. Size=%d", 11, c.addr.c_str(), c.UIN, static_cast<int>(c.queuedBytes + len));
  PostSocketEvent(c.ClnSocket, plat::FD_CLOSE);
  return false;
}

FlapFrame& NewFrame(FlapConn& c, uint8_t channel, size_t dataLen, uint16_t seq) {
  c.sendQueue.emplace_back();
  FlapFrame& f = c.sendQueue.back();
  f.length = static_cast<uint16_t>(dataLen + kFlapHeader);
  f.data = TakeFrameBuffer(dataLen + kFlapHeader);
  f.data.resize(f.length);
  f.data[0] = kFlapStart;
  f.data[1] = channel;
  PutBe16(&f.data[2], seq);
  PutBe16(&f.data[4], static_cast<uint16_t>(dataLen));
  f.waitBytes = f.length;
  return f;
}

FlapFrame& NewSendFrame(FlapConn& c, uint8_t channel, size_t dataLen) {
  return NewFrame(c, channel, dataLen, NextSeq(c));
}

// Bounds of the per-thread storage kept for reuse.
constexpr size_t kPoolBytes = 4 << 20;
constexpr size_t kPoolBufferMin = 256;
constexpr size_t kPoolBufferMax = 4096;
constexpr size_t kPoolQueues = 1024;
constexpr size_t kPoolQueueMax = 64;

struct Pools {
  std::vector<std::vector<uint8_t>> buffers;
  size_t bufferBytes = 0;
  std::vector<std::vector<FlapFrame>> queues;
};

Pools& ThreadPools() {
#ifdef _WIN32
  // MinGW runs thread-exit destructors through a key that the process's exit then deletes
  // under a lock, which held a stopped service's exit for seconds: there the storage of a
  // thread is left to the process's end.
  static thread_local Pools* p = new Pools;
  return *p;
#else
  static thread_local Pools p;
  return p;
#endif
}

}  // namespace

std::vector<uint8_t> TakeFrameBuffer(size_t need) {
  Pools& p = ThreadPools();
  std::vector<uint8_t> v;
  if (!p.buffers.empty()) {
    v = std::move(p.buffers.back());
    p.buffers.pop_back();
    p.bufferBytes -= v.capacity();
  }
  // New storage is made big enough for the common frames, so that it serves any of them later.
  if (v.capacity() < need) v.reserve(std::max(need, kPoolBufferMin));
  return v;
}

void RecycleFrameBuffer(std::vector<uint8_t>&& v) {
  Pools& p = ThreadPools();
  if (v.capacity() == 0 || v.capacity() > kPoolBufferMax || p.bufferBytes + v.capacity() > kPoolBytes) {
    std::vector<uint8_t>().swap(v);
    return;
  }
  v.clear();
  p.bufferBytes += v.capacity();
  p.buffers.push_back(std::move(v));
}

std::vector<FlapFrame> TakeQueueStorage() {
  auto& q = ThreadPools().queues;
  if (q.empty()) return {};
  std::vector<FlapFrame> v = std::move(q.back());
  q.pop_back();
  return v;
}

void RecycleQueueStorage(std::vector<FlapFrame>&& v) {
  auto& q = ThreadPools().queues;
  if (v.capacity() == 0 || v.capacity() > kPoolQueueMax || q.size() >= kPoolQueues) {
    std::vector<FlapFrame>().swap(v);
    return;
  }
  v.clear();
  q.push_back(std::move(v));
}


namespace {
// A frame joined the queue: the write that sends it comes at the round's end. A queue that
// held frames already has that write coming (at the round's end, or when a full socket takes
// data again), and the new frame leaves with it.
void WriteDue(FlapConn& c, bool queueWasEmpty) {
  if (queueWasEmpty) PostWriteAtRoundEnd(c.ClnSocket);
}
}  // namespace

void QueueFrame(FlapConn& c, uint8_t channel, const uint8_t* data, size_t len) {
  // A frame's length field is 16 bits: the data part is clipped to what it can announce.
  if (len > 0xFFFF - kFlapHeader) len = 0xFFFF - kFlapHeader;
  if (!Admit(c, len + kFlapHeader)) return;
  bool wasEmpty = c.sendQueue.empty();
  FlapFrame& f = NewSendFrame(c, channel, len);
  if (len) std::copy(data, data + len, f.data.begin() + kFlapHeader);
  WriteDue(c, wasEmpty);
}

uint8_t* QueueFrameInPlace(FlapConn& c, uint8_t channel, size_t dataLen, uint16_t seq) {
  if (dataLen > 0xFFFF - kFlapHeader) return nullptr;
  if (!Admit(c, dataLen + kFlapHeader)) return nullptr;
  bool wasEmpty = c.sendQueue.empty();
  FlapFrame& f = NewFrame(c, channel, dataLen, seq);
  WriteDue(c, wasEmpty);
  return f.data.data() + kFlapHeader;
}

void QueueRawFrame(FlapConn& c, std::vector<uint8_t>&& frame) {
  if (frame.size() < kFlapHeader) return;
  if (frame.size() > 0xFFFF) frame.resize(0xFFFF);
  if (!Admit(c, frame.size())) return;
  bool wasEmpty = c.sendQueue.empty();
  frame[0] = kFlapStart;
  PutBe16(&frame[4], static_cast<uint16_t>(frame.size() - kFlapHeader));
  c.sendQueue.emplace_back();
  FlapFrame& f = c.sendQueue.back();
  f.length = static_cast<uint16_t>(frame.size());
  f.data = std::move(frame);
  f.waitBytes = f.length;
  WriteDue(c, wasEmpty);
}

uint32_t FirstSequence() { return static_cast<uint32_t>(std::rand() % 32768); }

uint16_t NextSeq(FlapConn& c) { return static_cast<uint16_t>(c.Seq++); }

void SendTemplate(FlapConn& c, const uint8_t* frame, const uint8_t reqId[4]) {
  if (c.ClnSocket < 0) return;
  size_t dataLen = std::min<size_t>(GetBe16(frame + 4), 0xFFFF - kFlapHeader);
  if (!Admit(c, dataLen + kFlapHeader)) return;
  bool wasEmpty = c.sendQueue.empty();
  FlapFrame& f = NewSendFrame(c, frame[1], dataLen);
  std::copy(frame + kFlapHeader, frame + kFlapHeader + dataLen, f.data.begin() + kFlapHeader);
  // The request id fills bytes 12 to 15, so the frame must hold all four.
  if (f.length >= 16) std::copy(reqId, reqId + 4, f.data.begin() + 12);
  WriteDue(c, wasEmpty);
}

void SendTemplate(FlapConn& c, const std::vector<uint8_t>& frame, const uint8_t reqId[4]) {
  if (frame.size() < kFlapHeader || GetBe16(&frame[4]) > frame.size() - kFlapHeader) return;
  SendTemplate(c, frame.data(), reqId);
}

std::vector<uint8_t> MakeTemplate(uint8_t channel, const std::vector<uint8_t>& data) {
  WireWriter w(data.size() + kFlapHeader);
  w.u8(kFlapStart).u8(channel).be16(0).be16(static_cast<uint16_t>(data.size()));
  w.bytes(data.data(), data.size());
  return w.buffer();
}

const std::vector<uint8_t>& HelloFrame() {
  static const std::vector<uint8_t> hello = MakeTemplate(1, {0, 0, 0, 1});
  return hello;
}

size_t PutTLV(WireWriter& w, uint16_t type, const TlvValue& v) {
  size_t start = w.size();
  w.be16(type).be16(0);
  switch (type) {
    case 0x0001:
      w.bytes(std::to_string(static_cast<int32_t>(v.number)));
      break;
    case 0x0002:
    case 0x0003:
      w.u8(0x34).u8(0x12).u8(0).u8(0);
      break;
    case 0x0005:
      w.bytes(Cfg.BOS_IP + ":" + std::to_string(Cfg.BOS_Port));
      break;
    case 0x0006:
    case 0x000A:
      if (v.four) w.bytes(v.four, 4); else w.zeros(4);
      break;
    case 0x0008:
      w.be16(static_cast<uint16_t>(v.number));
      break;
    case 0x000C:
      w.zeros(37);
      break;
    case 0x000F:
      w.be32(static_cast<uint32_t>(std::time(nullptr)) - v.number);
      break;
    default:
      w.bytes(v.text);
      break;
  }
  size_t valueLen = w.size() - start - 4;
  w.patchBe16(start + 2, static_cast<uint16_t>(valueLen));
  return valueLen + 4;
}

ReqId MakeReqId(uint32_t v) {
  ReqId r;
  PutBe32(r.b, v);
  return r;
}
