// The key-and-digest (MD5) password login on the authorization connection: a bare hello,
// 17/06 key request -> 17/07 key, 17/02 login -> 17/03 with the BOS address and cookie or the
// error TLVs. The roasted channel-1 login is handled by the caller.
#pragma once
#include <string>
#include <string_view>

#include "VornAuth/md5.h"

struct AuthClient;

enum class Md5Step {
  NotMine,   // not part of this login: the caller treats the frame as a roasted login
  Continue,  // handled; the next frame is to be read
  Answered,  // the login was answered (17/03)
  Close,     // the connection is to be closed (too many key requests)
};

Md5Step HandleMd5Frame(AuthClient& c);

// True when the digest is one of the forms clients send: MD5 of key + password (or of key +
// MD5(password) when hashedFirst) with or without the "AOL Instant Messenger (SM)" suffix.
bool Md5DigestMatches(std::string_view key, const std::string& password, bool hashedFirst, std::string_view digest);
