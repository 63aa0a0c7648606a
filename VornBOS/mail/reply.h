// Collects an SMTP reply from the bytes read off the socket, however they were split,
// up to its last line (the one without a '-' after the code).
#pragma once
#include <cstddef>
#include <string>

class ReplyReader {
 public:
  // Longest line kept; the rest of a longer line is dropped.
  static constexpr size_t kMaxLine = 1024;

  // Takes the next bytes; true once the last line of the reply is complete. Bytes
  // after that line are ignored.
  bool Feed(const char* data, size_t len);

  bool Done() const { return done_; }
  // The last line seen without its line end (the final one once Done()).
  const std::string& Line() const { return line_; }
  // The three-digit code of that line, 0 when it does not start with three digits.
  int Code() const;
  // What a reply that never ended left: the unfinished line when there is one, else the
  // last complete line.
  std::string Unfinished() const;
  // Something arrived at all.
  bool Any() const { return any_; }

 private:
  void EndLine();

  std::string current_;
  std::string line_;
  bool done_ = false;
  bool any_ = false;
};

// The code of a reply line, 0 when it does not start with three digits.
int ReplyCode(const std::string& line);
