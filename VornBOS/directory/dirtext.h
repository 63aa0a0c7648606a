// Text helpers shared by the user-directory handlers: meta strings from requests, values made
// safe for a profile file, the about-text lines, name comparison and the age of a birth date.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server-core/wire.h"

// The text of a meta string's bytes: everything up to the first NUL.
std::string MetaText(std::string_view bytes);

// Reads one whole meta string and returns its text; nothing (and the reader's error flag) when
// the length field or the bytes it announces are not all there.
std::optional<std::string> TakeMetaText(WireReader& r);

// The text of a meta string whose length field starts the given bytes; a length that runs past
// the bytes is cut to what is there. Fewer than two bytes give the empty text.
std::string ClippedMetaText(std::string_view bytes);

// A profile value holds one line: every CR, LF or CR LF inside a single-line field becomes one
// space so the value cannot break the file apart.
std::string OneLine(std::string_view text);

// A text as it must be written so that a profile read gives it back: a profile read trims white
// space at both ends and takes off a pair of enclosing quotes, so such a text is wrapped in
// double quotes.
std::string ProfileValue(std::string text);

// The about text as the numbered lines to store (at most 20). Each CR LF, lone CR or lone LF
// ends a line; a line ended by an LF alone keeps kStoredLf at its end so that it reads back
// with the LF the client sent. After the 19th break the rest, trimmed of white space, becomes
// the last line with its inner CR LF and lone CR kept as kStoredBreak, its lone LF as kStoredLf.
// Each line stays a line of its own, so every stored value fits the readers' 299 characters.
std::vector<std::string> SplitAboutText(std::string_view text);
// The about reply text of stored lines: each line followed by CR LF, or by LF alone when it
// ends with kStoredLf; stored breaks restored.
std::string JoinAboutLines(const std::vector<std::string>& lines);
// Stand for a line break inside a stored about line (a profile value cannot hold a real one):
// kStoredBreak for CR LF, kStoredLf for an LF alone.
constexpr char kStoredBreak = '\v';
constexpr char kStoredLf = '\f';

// Two texts match when they are equal over their whole length, A-Z and a-z counting alike.
bool SameTextNoCase(std::string_view a, std::string_view b);

// The first n characters of a text.
std::string Clip(std::string text, size_t n);

// Whole years from a birth date to the given local date, this year's birthday counting from its
// day on. A date in the future gives 0; the result is cut to 16 bits.
uint16_t AgeOn(uint32_t year, uint32_t month, uint32_t day, const std::tm& today);

// The user number of a user file path, when the file's name is exactly the one the database
// gives that number ("<number>.ini", signed decimal); nothing for any other file.
std::optional<uint32_t> UserFileUin(const std::string& path);
