// The machine-wide registry: string values under HKEY_LOCAL_MACHINE, in its
// 32-bit view (WOW6432Node for a 64-bit program) whatever this build's width.
#include "platform/registry_store.h"

#include <windows.h>

#include <vector>

namespace corv {

namespace {
// The key path and the value name of `path` (before and after its last "\").
void Split(std::string_view path, std::string& key, std::string& value) {
  const size_t slash = path.rfind('\\');
  if (slash == std::string_view::npos) {
    key.clear();
    value.clear();
    return;
  }
  key = std::string(path.substr(0, slash));
  value = std::string(path.substr(slash + 1));
}

// The product line's other programs are 32-bit: the value they share is in
// the 32-bit view.
constexpr REGSAM kView = KEY_WOW64_32KEY;
}  // namespace

std::string RegGetMachineString(std::string_view path) {
  std::string key, name;
  Split(path, key, name);
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | kView, &h) != ERROR_SUCCESS) return {};
  DWORD type = 0, size = 0;
  std::string text;
  if (RegQueryValueExA(h, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
    std::vector<char> buf(size + 1, '\0');
    DWORD got = size;
    if (RegQueryValueExA(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &got) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
      text.assign(buf.data());  // up to the terminating zero, which may be missing
    }
  }
  RegCloseKey(h);
  return text;
}

int RegSetMachineString(std::string_view path, std::string_view text) {
  std::string key, name;
  Split(path, key, name);
  HKEY h = nullptr;
  LSTATUS err = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_SET_VALUE | kView, nullptr, &h, nullptr);
  if (err == ERROR_SUCCESS) {
    if (text.empty()) {
      err = RegDeleteValueA(h, name.c_str());
      if (err == ERROR_FILE_NOT_FOUND) err = ERROR_SUCCESS;  // nothing to delete
    } else {
      const std::string value(text);
      err = RegSetValueExA(h, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
    }
    RegCloseKey(h);
  }
  // A standard user may read the local machine's values but not write them.
  return err == ERROR_ACCESS_DENIED ? static_cast<int>(err) : 0;
}

}  // namespace corv
