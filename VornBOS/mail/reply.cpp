#include "VornBOS/mail/reply.h"

int ReplyCode(const std::string& line) {
  if (line.size() < 3) return 0;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    char c = line[i];
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  return code;
}

int ReplyReader::Code() const { return ReplyCode(line_); }

std::string ReplyReader::Unfinished() const {
  if (current_.empty()) return line_;
  if (current_.back() == '\r') return current_.substr(0, current_.size() - 1);
  return current_;
}

bool ReplyReader::Feed(const char* data, size_t len) {
  for (size_t i = 0; i < len && !done_; ++i) {
    any_ = true;
    if (data[i] == '\n') {
      EndLine();
    } else if (current_.size() < kMaxLine) {
      current_ += data[i];
    }
  }
  return done_;
}

void ReplyReader::EndLine() {
  if (!current_.empty() && current_.back() == '\r') current_.pop_back();
  line_.swap(current_);
  current_.clear();
  // "250-..." announces more lines; "250 ...", "250" or anything else ends the reply.
  bool more = line_.size() >= 4 && ReplyCode(line_) != 0 && line_[3] == '-';
  done_ = !more;
}
