// The user database: one profile file per user number in the user directory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ini.h"

// "<userDir><uin as signed decimal>.ini"
std::string UserFilePath(uint32_t uin);

// The value, or def when the file, section or key is missing; at most size - 1 characters.
std::string ReadUserString(uint32_t uin, const char* section, const char* key, const char* def,
                           size_t size);
// Stores a value; no value deletes the key. Returns false when the file could not be written.
bool WriteUserString(uint32_t uin, const char* section, const char* key,
                     const std::optional<std::string>& value);

// Several sets and deletes of the user's file in one durable replacement (nothing written when
// none changes anything). False (errno set) when the file could not be read or written; the
// file is then as it was.
bool WriteUserStrings(uint32_t uin, const std::vector<plat::ProfileEdit>& edits);

// True when the user file has [Main] Locked=1: the operator has locked the user out.
bool UserLocked(uint32_t uin);

// Calls visit(uin, path) for every "*.ini" file in the user directory (regular files only),
// ordered by number. The uin is the number at the start of the name, 0 if there is none.
void EnumerateUserFiles(const std::function<void(uint32_t uin, const std::string& path)>& visit);

// A numbered list (keys "0", "1", ...) up to the first missing key or end marker.
// About and MAIL lists end at "empty" and hold at most 20 entries; List entries end at a
// value starting with '-'.
std::vector<std::string> ReadUserList(uint32_t uin, const char* section, size_t valueSize);
std::vector<uint32_t> ReadMemberList(uint32_t uin);

// Country codes are stored as two characters: low byte + 0x30, then high byte + 0x30.
// A byte of 0xD0 or more would give a character below '0' (0xD0 gives NUL); such a byte is
// stored as '~' followed by two hex digits instead, which reads back to the same code.
std::string EncodeCountry(uint16_t code);
uint16_t DecodeCountry(const std::string& text);

// One byte stored as the character byte + 0x30. Bytes whose character would be a control
// character or a space (0xD0 to 0xF0) cannot survive a profile file and are stored as "0".
std::string EncodeByteChar(uint8_t b);

// Leading decimal digits of a text, 0 when there are none.
uint32_t LeadingNumber(const std::string& text);
