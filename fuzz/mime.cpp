// The MIME body encoders: each decodes back to its input (line breaks aside where the
// encoding rewrites them), and the wrapped, dot-stuffed text never carries a bare "." line.
#include <cstdlib>
#include <string>

#include "VornBOS/mail/encode.h"

namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Quoted-printable decoding (soft breaks removed, =XX turned back into bytes).
std::string DecodeQp(const std::string& in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '=') {
      out += in[i];
    } else if (i + 2 < in.size() && in[i + 1] == '\r' && in[i + 2] == '\n') {
      i += 2;
    } else if (i + 2 < in.size() && Hex(in[i + 1]) >= 0 && Hex(in[i + 2]) >= 0) {
      out += static_cast<char>(Hex(in[i + 1]) * 16 + Hex(in[i + 2]));
      i += 2;
    } else {
      std::abort();  // an encoder never writes a lone '='
    }
  }
  return out;
}

// Undoes SMTP dot-stuffing.
std::string Unstuff(const std::string& in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    bool lineStart = i == 0 || (i >= 2 && in[i - 2] == '\r' && in[i - 1] == '\n');
    if (lineStart && in[i] == '.' && i + 1 < in.size() && in[i + 1] == '.') continue;
    out += in[i];
  }
  return out;
}

// Every line end as CR LF, as the encoders write them.
std::string CrLf(const std::string& in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\r') {
      out += "\r\n";
      if (i + 1 < in.size() && in[i + 1] == '\n') ++i;
    } else if (in[i] == '\n') {
      out += "\r\n";
    } else {
      out += in[i];
    }
  }
  return out;
}

void CheckNoEndOfData(const std::string& body) {
  if (body.find("\r\n.\r\n") != std::string::npos || body.starts_with(".\r\n")) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  std::string back;
  if (!Base64Decode(Base64Encode(in), back) || back != in) std::abort();
  std::string body64 = EncodeBase64Body(in);
  if (!Base64Decode(body64, back) || back != in) std::abort();
  std::string qp = EncodeQuotedPrintable(in);
  std::string qpBack = DecodeQp(qp);
  if (Unstuff(DotStuff(qp)) != qp) std::abort();
  if (qpBack != in && qpBack != CrLf(in)) std::abort();
  for (int selector = 0; selector <= 4; ++selector) CheckNoEndOfData(EncodeBody(selector, in).text);
  std::string wrapped = WrapLines76(in);
  (void)DotStuff(wrapped);
  (void)ClassifyContent(in);
  return 0;
}
