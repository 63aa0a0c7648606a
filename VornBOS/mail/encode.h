// Body encoders of the MIME builder: 7bit, 8bit, quoted-printable and base64, the
// automatic choice among them, the 76-column line wrapper and SMTP dot-stuffing.
#pragma once
#include <string>
#include <string_view>

struct EncodedBody {
  std::string encoding;  // the Content-Transfer-Encoding name
  std::string text;      // encoded, wrapped and dot-stuffed
};

// Picks 1..4 (see MailEncoding) for the content: base64 when under 90 % of the bytes are
// printable, quoted-printable when a line is longer than 76, 8bit when any other byte
// is present, else 7bit. Empty content is 7bit.
int ClassifyContent(std::string_view content);

// The full encoding step for a part: selector 0 classifies first. An unknown selector
// gives an empty 7bit body.
EncodedBody EncodeBody(int selector, std::string_view content);

std::string Encode7bit(std::string_view content);
std::string Encode8bit(std::string_view content);
std::string EncodeQuotedPrintable(std::string_view content);
std::string EncodeBase64Body(std::string_view content);

// Plain base64 (RFC 2045 alphabet, '=' padding), no line breaks.
std::string Base64Encode(std::string_view data);
// Decodes base64, skipping white space and stopping at padding; false on a character
// outside the alphabet.
bool Base64Decode(std::string_view text, std::string& out);

// Breaks lines longer than 76 after the last of " -;.,?!" within the first 76
// characters, or after exactly 76. Line ends (CR LF, CR or LF) come out as CR LF.
std::string WrapLines76(std::string_view content);

// Doubles a '.' that starts a line (at the start of the text or after CR LF).
std::string DotStuff(std::string_view text);
