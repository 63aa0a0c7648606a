// The authorization server: the password login that hands out the BOS address and a cookie.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "server-core/flap.h"

// One accepted connection.
struct AuthClient : FlapConn {
  uint32_t step = 0;  // 0 created, 1 hello queued, 2 login answered
  std::string md5Key;  // the key of the MD5 login, once asked for
  uint32_t keyRequests = 0;  // 17/06 requests answered on this connection
};

// Key requests (17/06) answered on one connection; one more closes it.
constexpr uint32_t kMaxKeyRequests = 4;

// The user's stored password and lock, read from the user file in one read: true with the
// values (an empty password when the file or key is missing), false when the user file
// exists but cannot be read (logged).
bool ReadStoredPassword(AuthClient& c, std::string& password, bool& locked);
// Writes the login's cookie file: the cookie for an accepted login, an empty file for a
// refused one. A refusal for a number that has neither a user file nor a cookie file makes
// no file. False (logged) when the file could not be written.
bool WriteCookieFile(AuthClient& c, const std::vector<uint8_t>& cookie);

constexpr size_t kCookieSize = 256;
constexpr size_t kMaxPassword = 19;
// An answered connection that the client keeps open is closed after this many seconds
// ([Main] Auth_IdleClose, default 60).
extern uint32_t AnsweredIdleSeconds;

// The published OSCAR roasting sequence, applied by XOR.
std::string DeRoast(std::string_view roasted);

// The login frame's first two TLVs, read by position. False when the frame holds fewer
// than two whole TLVs or the password is longer than 19 characters.
bool ParseLoginFrame(const uint8_t* data, size_t len, uint32_t& uin, std::string& password);

// 256 random bytes with the UIN in bytes 33 (bits 24-31), 97 (8-15), 125 (0-7), 159 (16-23).
std::vector<uint8_t> MakeCookie(uint32_t uin);
// Random bytes for cookies and keys, taken from a reserve that one call to the system's
// generator fills for many logins; false when the generator failed.
bool TakeRandomBytes(uint8_t* out, size_t len);

void HandleAuthMessage(const plat::Message& m);
void AuthServerThread();
void AuthControl(int control);
