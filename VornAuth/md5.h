// MD5 message digest (RFC 1321), for the key-and-digest password login.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

using Md5Digest = std::array<uint8_t, 16>;

Md5Digest Md5(std::string_view data);
