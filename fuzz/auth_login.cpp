// The authorization server's login frame: the two TLVs read by position, the roasted
// password and the cookie built from the number.
#include <cstdlib>

#include "VornAuth/auth.h"
#include "server-core/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LogLevel = 20;
  uint32_t uin = 0;
  std::string password;
  if (ParseLoginFrame(data, size, uin, password)) {
    if (password.size() > kMaxPassword) std::abort();
    std::vector<uint8_t> cookie = MakeCookie(uin);
    if (cookie.size() != kCookieSize) std::abort();
  }
  std::string roasted(reinterpret_cast<const char*>(data), size);
  std::string plain = DeRoast(roasted);
  // XOR is its own inverse: roasting the result again gives the input up to the first NUL.
  if (DeRoast(plain) != roasted.substr(0, plain.size()).substr(0, DeRoast(plain).size())) std::abort();
  return 0;
}
