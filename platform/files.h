// Whole-file helpers, directory listing and system odds and ends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plat {

// What a read found: the content, "absent" (the file does not exist: ENOENT, nothing else) or
// an error (err holds the errno). A caller that must change what it reads changes nothing on
// an error; only "absent" may be taken as empty.
struct FileRead {
  enum class State { Content, Absent, Error };
  State state = State::Error;
  int err = 0;
  std::vector<uint8_t> bytes;

  bool ok() const { return state == State::Content; }
  bool absent() const { return state == State::Absent; }
  bool failed() const { return state == State::Error; }
  // True only for content.
  explicit operator bool() const { return ok(); }
  std::vector<uint8_t>& operator*() { return bytes; }
  const std::vector<uint8_t>& operator*() const { return bytes; }
  std::vector<uint8_t>* operator->() { return &bytes; }
  const std::vector<uint8_t>* operator->() const { return &bytes; }

  static FileRead Content(std::vector<uint8_t> b) { return FileRead{State::Content, 0, std::move(b)}; }
  static FileRead Failed(int e);  // ENOENT gives Absent
};

// Reads at most maxBytes of a file. A read error part way is an error, never a short file.
FileRead ReadFileBytes(const std::string& path, size_t maxBytes);
// Reads at most maxBytes of a file from offset on (less at the end of the file).
FileRead ReadFileAt(const std::string& path, uint64_t offset, size_t maxBytes);
// Replaces a file durably: writes a temporary file beside it (the file's name followed by "."
// and six letters or digits), flushes it to the disk, renames it over the old one and flushes
// the folder, so that after a power loss either the old or the new content is there, never an
// empty or half file. The replaced file's permissions are kept; a new file gets mode, and a
// secret (mode without group or other bits: 0600) is private whatever the umask or the old
// file allowed. False when any step failed (errno tells why); the old file is then untouched
// unless the folder flush failed after the rename.
bool WriteFileAtomic(const std::string& path, const void* data, size_t len, unsigned mode = 0644);

enum class AppendResult { Ok, OpenFailed, TooLarge, ShortWrite, FlushFailed };
// Appends a record whole or not at all, and flushes it to the disk before it returns. When the
// file would grow past maxSize (0: no limit) nothing is written; a write that stops short (a
// full disk) or a failed flush cuts the file back to its old length. err gets the errno.
AppendResult AppendRecord(const std::string& path, const void* data, size_t len, uint64_t maxSize);
AppendResult AppendRecord(const std::string& path, const void* data, size_t len, uint64_t maxSize, int& err);

// Appends made durable together (group commit): Append writes each record at once, whole or
// not at all, and keeps its file open; Commit flushes every file touched with one fdatasync
// and reports for each file whether its records are on the disk. A file whose flush failed is
// cut back to its length before the batch's first append to it, so no record is left that was
// reported as lost. Files are created with mode (0600 under any umask for a private store).
class AppendBatch {
 public:
  explicit AppendBatch(unsigned mode = 0600) : mode_(mode) {}
  ~AppendBatch();
  AppendBatch(const AppendBatch&) = delete;
  AppendBatch& operator=(const AppendBatch&) = delete;

  AppendResult Append(const std::string& path, const void* data, size_t len, uint64_t maxSize, int& err);
  struct Outcome {
    std::string path;
    int err = 0;             // 0: every record the batch appended to the file is durable
    uint64_t keptSize = 0;   // after a failure: the length the file was cut back to
  };
  struct Open {
    std::string path;
    intptr_t fd = -1;
    uint64_t startSize = 0;
    int err = 0;  // set by Poison: the file's records are lost whatever the flush says
  };
  // The flush of the files a batch wrote, taken out of it so that it can run on another
  // thread: Run (any thread) makes the fdatasync calls and flushes the folders of new files;
  // Finish (the appending thread, after Run) cuts failed files back, closes them and reports.
  class Flush {
   public:
    Flush() = default;
    explicit Flush(std::vector<Open> files) : files_(std::move(files)) {}
    Flush(Flush&&) = default;
    Flush& operator=(Flush&&) = default;
    ~Flush();
    void Run();
    std::vector<Outcome> Finish();
    bool empty() const { return files_.empty(); }

   private:
    std::vector<Open> files_;
  };
  // Takes the files written so far out of the batch; the batch starts afresh.
  Flush Detach();
  // Detach, Run and Finish on this thread.
  std::vector<Outcome> Commit();
  // A flush of the file failed elsewhere and cut it back to keptSize: this batch's records in
  // it are gone too, and are reported lost.
  void Poison(const std::string& path, uint64_t keptSize, int err);
  bool empty() const { return files_.empty(); }
  bool Holds(const std::string& path) const;

 private:
  std::vector<Open> files_;
  unsigned mode_;
};

// Removes a file; true when it is gone (also when it was not there). Not flushed.
bool RemoveFile(const std::string& path);
bool FileExists(const std::string& path);
// The file's size, or an error (ENOENT when it does not exist).
bool FileSize(const std::string& path, uint64_t& size, int& err);

// Gives a complete file made under a temporary name (already flushed, as WriteFileAtomic and
// WriteProfileStrings leave it) its final name, only when no file has that name: false with
// errno EEXIST when one has, and the existing file is untouched. The new name is made durable
// (the folder is flushed on POSIX, the move is written through on Windows). The temporary
// name is gone afterwards, whatever the outcome.
bool PublishNewFile(const std::string& tmp, const std::string& path);

// Whether this process may read (write false) or change (write true) what is at path, by the
// system's own rules: access(2) on POSIX; on Windows a folder is probed with a file made and
// removed in it, a file is opened for that use. False with errno set when not.
bool MayAccess(const std::string& path, bool write);

// The Unix permission bits and owner of a file or folder (following links). Nothing on
// Windows, whose access rights live in ACLs, or when path cannot be looked at.
struct UnixRights {
  unsigned mode = 0;
  uint32_t uid = 0;
};
std::optional<UnixRights> UnixRightsOf(const std::string& path);

// Run as root on POSIX, gives a file the owner and group of its folder (the servers' user),
// so that the servers can still read and replace a file an administrator made. Does nothing
// for other users, and nothing on Windows, where a new file takes its rights from its folder.
void GiveToFolderOwner(const std::string& path);

// True when a file can be created in dir (a probe file is made and removed); err tells why not.
bool DirWritable(const std::string& dir, int& err);
// True when path can be opened for appending (it is created if missing); err tells why not.
bool FileAppendable(const std::string& path, int& err);
// Removes what an interrupted WriteFileAtomic left in dir: "<name>.XXXXXX" files whose
// <name> ends in ".ini" or is a number, last written at least minAgeSeconds ago (a younger
// one may belong to a write in progress in the other server). Returns the names removed.
std::vector<std::string> RemoveStaleTempFiles(const std::string& dir, long minAgeSeconds);
// ReadFileBytes under a shared lock on the file, so that a WriteFileInPlace is never seen half
// done. When a writer holds the lock past a few tries, busy is set and the result is an error
// (EWOULDBLOCK).
FileRead ReadFileLocked(const std::string& path, size_t maxBytes, bool& busy);
// Replaces a small file's contents in place under an exclusive lock on the file: one write of
// all the bytes at offset 0 into the existing file (created when missing), then the length cut
// to len. Readers that take the shared lock (ReadFileLocked) see the old contents or the new,
// never a mix. Keeps the file's inode, so no inode or directory entry is made per write; when
// the lock cannot be had at once (a reader holds it), the file is replaced through a renamed
// temporary file instead, which is just as safe for every reader.
// mode is the permission of a file created here, and a secret (mode without group or other
// bits) is narrowed to it.
// Not flushed: for short-lived files (login cookies) that a power loss may cost.
bool WriteFileInPlace(const std::string& path, const void* data, size_t len, unsigned mode = 0644);
// WriteFileInPlace for a record file: one whose every write is a whole record of one size, or
// empty (len 0), and that nothing else writes. Such a file is never longer than a record and
// keeps the rights it was created with, once NarrowRecordFiles has seen its folder, so the
// write makes no look at it: open, lock, one write (or the cut to empty), close.
bool WriteRecordFileInPlace(const std::string& path, const void* data, size_t len, unsigned mode);
// Makes every file in dir a record file that WriteRecordFileInPlace may write: group and other
// rights are taken away, and a file longer than recordSize (not written as a record) is
// emptied. Returns the names changed. Called at start, before any record is written.
std::vector<std::string> NarrowRecordFiles(const std::string& dir, uint64_t recordSize);
// Flushes a folder's entries (names made, renamed or removed) to the disk.
bool SyncFolder(const std::string& dir);

// True when s ends in suffix, letters compared without case.
bool EndsWithNoCase(const std::string& s, const std::string& suffix);

// True for a name that a WriteFileAtomic may have left behind: "<name>.XXXXXX" (six letters
// or digits) where <name> ends in ".ini" or ".ssi", is a number, or is the start-up probe.
bool IsStaleTempCandidate(const std::string& name);

// The order of ListFiles: by the number at the start of the name, then by name.
bool FileNameOrder(const std::string& a, const std::string& b);

// Regular files in dir whose names end in suffix (case-insensitive), ordered by the number at
// the start of the name, then by name.
std::vector<std::string> ListFiles(const std::string& dir, const std::string& suffix);

// Fills buf from the system's cryptographic random source.
bool RandomBytes(void* buf, size_t len);

// Raises the open-file limit to its hard maximum; returns the new soft limit.
long RaiseFileLimit();

// Holds an exclusive lock on the folder of path while it lives, so that writers of that
// folder in this process or another (a server and the admin tool) take turns.
class FolderLock {
 public:
  explicit FolderLock(const std::string& path);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  intptr_t handle_ = -1;
};

// The test seam: a fault plan makes chosen file operations fail with a chosen errno, so that
// tests can see what the servers do on a full disk or a failing one. A rule reads
// "op:glob:n:ERRNO" (or "n+" to fail the nth and every later one), op one of open, read,
// write, fsync, rename, unlink; glob is matched against the whole path ('*' also crosses
// '/'). Rules are separated by ';'. The plan of a process is read once from the environment
// variable VORN_FAULTS; tests in the same process set it with SetFaultPlan.
enum class FileOp { Open, Read, Write, Fsync, Rename, Unlink };
// Replaces the plan; false (and no plan) when the text does not parse.
bool SetFaultPlan(const std::string& plan);
// Consulted by the file functions before each operation: the errno to fail with, or 0.
int InjectedFault(FileOp op, const std::string& path);

// Full path of the running program.
std::string ProgramPath();

}  // namespace plat
