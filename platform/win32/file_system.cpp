// Files and folders through the Win32 file API: every error is the system's
// last-error code. Descriptors are C run-time descriptors over the handles
// (_open_osfhandle), all in binary mode.
#include "platform/file_system.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/system_error.h"

namespace corv {

namespace {
bool Fail(std::string* error) {
  if (error) *error = SystemErrorText(static_cast<int>(GetLastError()));
  return false;
}

bool NotThere(DWORD err) { return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND; }

// Clears the read-only attribute: the owner may write it again.
void MakeWritable(const std::string& name) {
  const DWORD attributes = GetFileAttributesA(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesA(name.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

// A descriptor over a new handle, or -1 with the last-error code kept.
int Descriptor(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) return -1;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  }
  return fd;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

bool WriteHandle(HANDLE h, std::string_view data) {
  while (!data.empty()) {
    DWORD n = 0;
    if (!WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) || n == 0) return false;
    data.remove_prefix(n);
  }
  return true;
}
}  // namespace

bool FileExists(const std::string& name, std::string* error) {
  if (name.empty()) {
    if (error) *error = "Invalid Filename";
    return false;
  }
  if (GetFileAttributesA(name.c_str()) == INVALID_FILE_ATTRIBUTES) return Fail(error);
  return true;
}

FileLookup LookUpFile(const std::string& name, int& errorNumber) {
  if (GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES) return FileLookup::Present;
  const DWORD err = GetLastError();
  errorNumber = static_cast<int>(err);
  return NotThere(err) ? FileLookup::Missing : FileLookup::Unknown;
}

bool RemoveFile(const std::string& name, std::string* error) {
  if (DeleteFileA(name.c_str())) return true;
  MakeWritable(name);
  if (DeleteFileA(name.c_str())) return true;
  return Fail(error);
}

namespace {
// MoveFileEx onto an existing file, replacing it. A virus scanner or an
// indexer opens a file that was just written for a moment; the move then
// fails with "Access is denied" or a sharing violation, and is tried again
// for about a second before the failure stands.
bool MoveFileRetrying(const std::string& from, const std::string& to) {
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD err = GetLastError();
    if (attempt == 20 || (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION)) return false;
    Sleep(50);
    SetLastError(err);
  }
}
}  // namespace

bool RenameFile(const std::string& from, const std::string& to, std::string* error) {
  // A rename onto an existing file replaces it, as the program expects.
  if (MoveFileRetrying(from, to)) return true;
  return Fail(error);
}

bool MakeDirectory(const std::string& name, std::string* error) {
  if (CreateDirectoryA(name.c_str(), nullptr)) return true;
  return Fail(error);
}

int CreateNewFile(const std::string& name, int& errorNumber) {
  const int fd = Descriptor(
      CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (fd < 0) errorNumber = static_cast<int>(GetLastError());
  return fd;
}

bool FileAlreadyExists(int errorNumber) {
  return errorNumber == ERROR_FILE_EXISTS || errorNumber == ERROR_ALREADY_EXISTS;
}

void CloseFile(int fd) {
  if (fd >= 0) _close(fd);
}

bool WriteAll(int fd, std::string_view data) {
  const HANDLE h = HandleOf(fd);
  return h != INVALID_HANDLE_VALUE && WriteHandle(h, data);
}

bool ReadWholeFile(const std::string& name, std::string& bytes, int& errorNumber) {
  bytes.clear();
  // A folder cannot be opened this way: it fails as "access denied".
  const HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errorNumber = static_cast<int>(GetLastError());
    return false;
  }
  char buf[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
      errorNumber = static_cast<int>(GetLastError());
      CloseHandle(h);
      return false;
    }
    if (n == 0) break;
    bytes.append(buf, n);
  }
  CloseHandle(h);
  return true;
}

bool FileNotFound(int errorNumber) { return NotThere(static_cast<DWORD>(errorNumber)); }

namespace {

// The temporary file of a replacement, made here and now: never an existing
// file or a link planted under its name, whose target the contents would
// otherwise go to. A name left by an earlier run is removed (DeleteFile takes
// a link itself, not its target) and the file made once more.
HANDLE CreateTemporaryFile(const std::string& temp, DWORD attributes) {
  const auto create = [&] {
    return CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
  };
  HANDLE h = create();
  if (h == INVALID_HANDLE_VALUE && FileAlreadyExists(static_cast<int>(GetLastError()))) {
    if (!DeleteFileA(temp.c_str())) return INVALID_HANDLE_VALUE;
    h = create();
  }
  return h;
}

}  // namespace

ReplaceResult ReplaceWholeFile(const std::string& file, const std::string& temp, std::string_view bytes) {
  // The new file takes the old one's attributes, writable.
  const DWORD found = GetFileAttributesA(file.c_str());
  DWORD attributes = found;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) attributes = 0;
  attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;

  const HANDLE h = CreateTemporaryFile(temp, attributes);
  if (h == INVALID_HANDLE_VALUE) return {ReplaceStep::TempFile, static_cast<int>(GetLastError())};
  bool written = WriteHandle(h, bytes) && FlushFileBuffers(h);
  DWORD error = written ? 0 : GetLastError();
  if (!CloseHandle(h) && written) {
    written = false;
    error = GetLastError();
  }
  if (!written) {
    DeleteFileA(temp.c_str());
    return {ReplaceStep::TempFile, static_cast<int>(error)};
  }
  // MoveFileEx replaces the old file in one step and returns once the move is
  // on disk; a read-only old file is made writable first, as a rename on POSIX
  // replaces it too.
  MakeWritable(file);
  if (!MoveFileRetrying(temp, file)) {
    error = GetLastError();
    if (found != INVALID_FILE_ATTRIBUTES) SetFileAttributesA(file.c_str(), found);
    DeleteFileA(temp.c_str());
    return {ReplaceStep::Rename, static_cast<int>(error)};
  }
  return {};
}

}  // namespace corv
