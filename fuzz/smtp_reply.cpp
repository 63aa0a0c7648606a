// The SMTP reply reader fed in random pieces: the same reply however the bytes are split.
#include <algorithm>
#include <cstdlib>

#include "VornBOS/mail/reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const char* text = reinterpret_cast<const char*>(data + 1);
  size_t len = size - 1;
  ReplyReader whole;
  whole.Feed(text, len);
  ReplyReader pieces;
  size_t step = 1 + data[0] % 7;
  for (size_t pos = 0; pos < len && !pieces.Done(); pos += step) pieces.Feed(text + pos, std::min(step, len - pos));
  if (whole.Done() != pieces.Done() || whole.Line() != pieces.Line() || whole.Code() != pieces.Code()) std::abort();
  if (whole.Line().size() > ReplyReader::kMaxLine) std::abort();
  (void)whole.Unfinished();
  return 0;
}
