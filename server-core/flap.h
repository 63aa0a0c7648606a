// FLAP framing: the per-connection receive state machine, the send queue, sequence numbers,
// ready-made frames and the TLV writer.
#pragma once
#include <cstddef>
#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "server-core/wire.h"

constexpr uint32_t WM_SOCKET_EVENT = plat::WM_USER + 1;
constexpr uint32_t WM_FLAP_READY = plat::WM_USER + 2;

constexpr uint8_t kFlapStart = 0x2A;
constexpr size_t kFlapHeader = 6;

// The server's scheduler; other modules post to it.
extern plat::EventLoop* EventWindow;
// Connections closed because their send queue passed SendQueueMax (read by the metrics).
extern std::atomic<uint64_t> SendQueueOverflows;
void PostSocketEvent(plat::Socket s, uint16_t event);
// Asks for a write event at the end of the current round of messages (once per socket), so
// that the frames queued for a connection during the round leave with one write.
void PostWriteAtRoundEnd(plat::Socket s);

struct FlapFrame {
  uint8_t head[kFlapHeader] = {kFlapStart, 0, 0, 0, 0, 0};  // header image as received
  uint16_t length = 0;       // receive: data length; send: whole frame length
  std::vector<uint8_t> data;  // receive: data part; send: the whole frame
  int32_t waitBytes = 0;      // receive: bytes missing of this part; send: bytes left to write
  bool isWaitHead = true;

  uint8_t channel() const { return head[1]; }
  uint16_t sequence() const { return GetBe16(head + 2); }
};

// Storage of sent frames and emptied queues, kept per thread for the next frames (bounded), so
// that queueing a frame on a busy server allocates nothing while idle connections hold nothing.
std::vector<uint8_t> TakeFrameBuffer(size_t need);
void RecycleFrameBuffer(std::vector<uint8_t>&& b);
std::vector<FlapFrame> TakeQueueStorage();
void RecycleQueueStorage(std::vector<FlapFrame>&& v);

// A first-in first-out queue of frames that holds storage only while frames wait, so an idle
// connection costs only the empty record.
class FrameQueue {
 public:
  bool empty() const { return head_ == frames_.size(); }
  size_t size() const { return frames_.size() - head_; }
  FlapFrame& front() { return frames_[head_]; }
  const FlapFrame& front() const { return frames_[head_]; }
  FlapFrame& back() { return frames_.back(); }
  FlapFrame& operator[](size_t i) { return frames_[head_ + i]; }
  const FlapFrame& operator[](size_t i) const { return frames_[head_ + i]; }
  std::vector<FlapFrame>::iterator begin() { return frames_.begin() + static_cast<long>(head_); }
  std::vector<FlapFrame>::iterator end() { return frames_.end(); }
  std::vector<FlapFrame>::const_iterator begin() const { return frames_.begin() + static_cast<long>(head_); }
  std::vector<FlapFrame>::const_iterator end() const { return frames_.end(); }
  FlapFrame& emplace_back() {
    if (frames_.capacity() == 0) frames_ = TakeQueueStorage();
    // The slots of frames already sent are reused before the storage grows.
    if (head_ > 0 && frames_.size() == frames_.capacity()) {
      frames_.erase(frames_.begin(), frames_.begin() + static_cast<long>(head_));
      head_ = 0;
    }
    return frames_.emplace_back();
  }
  void pop_front() {
    // The slot's storage goes back to the pool; the slot itself is not read again (the front
    // moves past it) until the queue is cleared or compacted.
    RecycleFrameBuffer(std::move(frames_[head_].data));
    if (++head_ == frames_.size()) clear();
  }
  void clear() {
    // The slots before the front gave their storage back when they were taken.
    for (size_t i = head_; i < frames_.size(); ++i) RecycleFrameBuffer(std::move(frames_[i].data));
    head_ = 0;
    frames_.clear();
    RecycleQueueStorage(std::move(frames_));
    frames_ = std::vector<FlapFrame>();
  }

 private:
  std::vector<FlapFrame> frames_;
  size_t head_ = 0;
};

// The connection state that framing needs; both servers' session records hold one.
struct FlapConn {
  plat::Socket ClnSocket = -1;
  uint32_t Seq = 0;
  uint32_t UIN = 0;
  std::string addr;  // peer address text, the name column of log lines
  FlapFrame in;
  FrameQueue sendQueue;
  size_t queuedBytes = 0;      // bytes of the frames in sendQueue
  bool queueOverflow = false;  // the queue passed Cfg.SendQueueMax; the connection is closing
  // Bytes the kernel gave beyond the current frame part: the next parts are taken from here
  // before the socket is read again. Empty (no storage) whenever nothing is waiting.
  std::vector<uint8_t> readAhead;
  size_t readAheadPos = 0;
  uint64_t bytesTaken = 0;  // all bytes taken into frames so far
  // What CloseMustWait saw when it last let a close wait.
  struct ReadMark {
    uint64_t taken = 0;
    int32_t waitBytes = 0;
    bool isWaitHead = true;
    bool operator==(const ReadMark&) const = default;
  };
  std::optional<ReadMark> closeWaitMark;
  // The owner reads every whole frame of a read in one pass (looping over RecvPiece), so bytes
  // left read ahead need no further FD_READ. In such a pass the socket is read again only
  // while its reads fill the buffer: a shorter read emptied it (socketEmpty), and the next data
  // comes with the next read event, where the owner clears the mark.
  bool onePass = false;
  bool socketEmpty = false;

  FlapConn() { in.waitBytes = kFlapHeader; }
};

enum class RecvStatus {
  Idle,        // nothing to read now (frame held, nothing waiting, or peer closed)
  Partial,     // bytes taken in, the current part is still incomplete
  HeadDone,    // a header with a data length was completed; reading goes on (a data part
               // already read ahead whole is taken in the same call, which then says FrameDone)
  ZeroLength,  // a header with data length 0 was completed
  BadStart,    // the header's start byte is not 0x2A
  FrameDone,   // a whole frame is held in `in`
  BadSocket,
  Failed,      // the receive call failed (err set; would-block included)
};

struct FlapDumpTitles {
  const char* head;
  const char* data;
};

// Reads the next piece of the current frame: the bytes missing from its header or data part,
// taken from what was read ahead and otherwise from the socket, which is asked for everything
// waiting so that one call serves several frames. The completed header is dumped under
// titles.head, a completed data part under titles.data.
RecvStatus RecvPiece(FlapConn& c, const FlapDumpTitles& titles, int& err);

// A peer that closed may have sent frames that were read ahead but not yet handled: the close
// waits for them (true), as long as the connection's reading moves on between two looks.
bool CloseMustWait(FlapConn& c);

enum class SendStatus { Idle, Partial, FrameSent, BadSocket, Failed };

// Writes what is left of the queued frames, as many as the socket takes, in queue order with
// one call. A partial write of the head frame posts FD_WRITE so the rest follows; frames sent
// completely stay at the head for the caller to log (FrameSent), then PopSentFrames removes
// them. A head frame already written completely also gives FrameSent.
SendStatus SendPiece(FlapConn& c, int& err);
// Removes the head frame after it was sent (dumped at LogLevel 0), and posts FD_WRITE.
void PopSentFrame(FlapConn& c);
// Removes the head frame after it was sent (dumped at LogLevel 0), without posting FD_WRITE.
void DropSentFrame(FlapConn& c);
// True when the head frame has been written completely.
bool HeadFrameSent(const FlapConn& c);
// Removes every completely written frame from the head of the queue, in order, calling
// sent(frame) before each is dumped and removed; then posts FD_WRITE when frames are left.
template <typename F>
void PopSentFrames(FlapConn& c, F&& sent);

// True when a send error means the connection is gone.
bool IsConnectionLost(int err);

// Every queueing call below refuses a frame that would take the connection's queue past
// Cfg.SendQueueMax: it logs "Send queue overflow", marks the connection and posts FD_CLOSE,
// so a client that never reads cannot make the server hold more than that for it.

// Queues a frame built from a channel and a data part, with the next sequence number.
void QueueFrame(FlapConn& c, uint8_t channel, const uint8_t* data, size_t len);
inline void QueueFrame(FlapConn& c, uint8_t channel, const std::vector<uint8_t>& data) {
  QueueFrame(c, channel, data.data(), data.size());
}
// Queues a complete frame as it is (its sequence number already set); only the start byte
// and the data length are filled in.
void QueueRawFrame(FlapConn& c, std::vector<uint8_t>&& frame);
// Queues a frame of dataLen data bytes on the given channel with the given sequence number and
// returns its data part for the caller to fill in place; null when the queue refused it.
uint8_t* QueueFrameInPlace(FlapConn& c, uint8_t channel, size_t dataLen, uint16_t seq);
// A new connection's first sequence number: one draw in 0..32767.
uint32_t FirstSequence();
// Takes the connection's next sequence number: the current value, then advances the counter.
uint16_t NextSeq(FlapConn& c);

// Queues a copy of a ready-made frame (header and data) with the next sequence number and,
// for frames long enough to hold one, the given SNAC request id.
void SendTemplate(FlapConn& c, const uint8_t* frame, const uint8_t reqId[4]);
void SendTemplate(FlapConn& c, const std::vector<uint8_t>& frame, const uint8_t reqId[4]);

// The 10-byte hello frame: channel 1, data 00 00 00 01.
const std::vector<uint8_t>& HelloFrame();

// A whole ready-made frame around a data part (sequence number 0, filled in when sent).
std::vector<uint8_t> MakeTemplate(uint8_t channel, const std::vector<uint8_t>& data);

void DumpSentFrame(const FlapFrame& f);

template <typename F>
void PopSentFrames(FlapConn& c, F&& sent) {
  while (HeadFrameSent(c)) {
    sent(c.sendQueue.front());
    DropSentFrame(c);
  }
  if (!c.sendQueue.empty()) PostWriteAtRoundEnd(c.ClnSocket);
}

// One TLV whose value encoding depends on its type:
//  0x0001 number as decimal text; 0x0002/0x0003 bytes 34 12 00 00; 0x0005 "BOS_IP:BOS_Port";
//  0x0006 and 0x000A four bytes; 0x0008 16-bit number; 0x000C 37 zero bytes;
//  0x000F seconds since the given time; any other type the text.
struct TlvValue {
  uint32_t number = 0;
  const uint8_t* four = nullptr;
  std::string_view text;
};
size_t PutTLV(WireWriter& w, uint16_t type, const TlvValue& v = {});

// The 4-byte request id of a counter value, big-endian.
struct ReqId {
  uint8_t b[4];
};
ReqId MakeReqId(uint32_t v);
