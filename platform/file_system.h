// Files and folders on the system: whether a name is there, making, writing,
// reading and removing files, making a folder, and replacing a whole file in one
// step. Each call answers success or failure; where `error` is given it then
// holds the reason ("Invalid Filename", or SystemErrorText of the system's error
// number). Files are byte streams: no line-end translation anywhere.
#pragma once
#include <string>
#include <string_view>

namespace corv {

bool FileExists(const std::string& name, std::string* error = nullptr);

// What a look-up of a name found: the file (or folder) is there, nothing is
// there, or the system could not tell (a folder on the way closed to us).
enum class FileLookup { Present, Missing, Unknown };
FileLookup LookUpFile(const std::string& name, int& errorNumber);

// Deletes; when that fails, makes the file owner-writable and tries once more.
bool RemoveFile(const std::string& name, std::string* error = nullptr);
bool RenameFile(const std::string& from, const std::string& to, std::string* error = nullptr);
// One folder level.
bool MakeDirectory(const std::string& name, std::string* error = nullptr);

// Makes a file that must not exist yet (readable by all, writable by its
// owner): a descriptor, or -1 with the system's error number.
int CreateNewFile(const std::string& name, int& errorNumber);
// True when the error number of CreateNewFile says the name was taken.
bool FileAlreadyExists(int errorNumber);
void CloseFile(int fd);
// Writes all of `data`, resuming after interrupted and short writes.
bool WriteAll(int fd, std::string_view data);

// Reads the whole file into `bytes`; on failure the error number of the call
// that failed is in `errorNumber` (a folder fails too).
bool ReadWholeFile(const std::string& name, std::string& bytes, int& errorNumber);
// True when the error number says the file is not there.
bool FileNotFound(int errorNumber);

// Where a whole-file replacement stopped.
enum class ReplaceStep {
  Done,      // the new contents stand, flushed to disk with the folder entry
  TempFile,  // the temporary file could not be made, written or flushed
  Rename,    // the system refused to put the temporary file in place
};
struct ReplaceResult {
  ReplaceStep step = ReplaceStep::Done;
  int errorNumber = 0;
};

// Writes `bytes` to `temp` (made anew, never through a file or link already
// under that name: such a leftover is removed first), flushes it to disk and renames it over `file` (a
// read-only one too), then flushes the folder, so that a crash leaves the old
// file or the new one whole. The new file takes the old one's access bits,
// writable for its owner (owner read-write, others read for a new file). On
// failure the temporary file is removed.
ReplaceResult ReplaceWholeFile(const std::string& file, const std::string& temp, std::string_view bytes);

}  // namespace corv
