// Pieces the route files of the management API share.
#pragma once
#include <httplib.h>

#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace admin {

using nlohmann::json;

// Longest wait for the event loop to run a call.
constexpr int kLoopTimeoutMs = 3000;

// The data folder (ending in '/'), fixed when the listener starts.
const std::string& DataFolder();
// File changes of the API are made one at a time.
std::mutex& WriteLock();

// JSON text of a value; bytes that are not UTF-8 become U+FFFD.
std::string Dump(const json& j);
void Reply(httplib::Response& res, int status, const json& body);
void Error(httplib::Response& res, int status, const std::string& text);
// The request body as a JSON object; answers 400 and returns false when it is not one.
bool ParseObject(const httplib::Request& req, httplib::Response& res, json& out);
// A user number from a path or body field: 1 to 4294967295; answers 400 otherwise.
bool ParseNumber(const std::string& text, httplib::Response& res, uint32_t& out);
bool NumberField(const json& body, const char* key, httplib::Response& res, uint32_t& out);
// A JSON text whose code points are U+0001..U+00FF as the bytes they stand for (the way
// profile values are shown); false for NUL or anything beyond U+00FF.
bool TextBytes(const std::string& utf8, std::string& out);
// offset and limit query values (limit 1..1000, default 50).
void Paging(const httplib::Request& req, size_t& offset, size_t& limit);

// Runs a vornadmin command line on the data folder with --json. On success the parsed
// output is returned in out; otherwise the reply (400, 404, 409 or 500) is already made.
bool RunTool(const std::vector<std::string>& args, const std::string& input, httplib::Response& res, json& out);

// Ends the newest session of the user on the loop; false when none was signed on (or the
// loop did not answer, in which case loopOk is false).
bool EndSession(uint32_t uin, bool& loopOk);
// Reloads vorn.ini on the loop (broadcast lists, SMS routes, limits).
bool ReloadConfiguration();

// Routes of api_files.cpp: users and broadcast lists.
void AddFileRoutes(httplib::Server& s);

}  // namespace admin
