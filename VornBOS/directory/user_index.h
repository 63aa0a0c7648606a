// An in-memory index of the user folder for the name and e-mail searches: the Main values the
// searches compare and send, per user file. Before every walk it is brought in line with the
// folder as it is at that moment (change notices of the folder, or the files' stamps where no
// notices come), so an operator's edit is seen by the next request just as when every file is
// read afresh.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Brings the index up to date, then visits the number of every user file ("<number>.ini") in
// the order of the folder listing.
void ForEachIndexedUser(const std::function<void(uint32_t uin)>& visit);

// ReadUserString(uin, "Main", key, def, size), answered from the index for the user being
// visited by ForEachIndexedUser and the keys the index holds (First, Last, Nick, Email); read
// from the file otherwise.
std::string IndexedUserString(uint32_t uin, const char* key, const char* def, size_t size);

// Forgets everything (tests, and a changed user folder).
void ResetUserIndex();
