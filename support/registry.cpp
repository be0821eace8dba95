// The registry hive as a REGEDIT4 text file: "REGEDIT4", a blank line, then
// "[key path]" sections with "name"="text", "name"=dword:..., @="..." lines.
// A write rewrites the file through a temporary file and a rename, so the hive
// is always the old one or the new one, never torn.
#include "platform/hive_file.h"

#include <optional>
#include <vector>

#include "support/files.h"

namespace corv {

namespace {

bool SameText(std::string_view a, std::string_view b) { return UpperCase(a) == UpperCase(b); }

struct RegPath {
  std::string key, value;
};

RegPath Split(std::string_view path) {
  size_t slash = path.rfind('\\');
  if (slash == std::string_view::npos) return {};
  return {std::string(path.substr(0, slash)), std::string(path.substr(slash + 1))};
}

// Section names may carry the hive's own name in front.
std::string SectionKey(std::string_view header) {
  std::string_view k = header;
  constexpr std::string_view kHive = "HKEY_LOCAL_MACHINE";
  if (k.size() >= kHive.size() && SameText(k.substr(0, kHive.size()), kHive)) {
    k.remove_prefix(kHive.size());
    if (!k.empty() && k[0] == '\\') k.remove_prefix(1);
  }
  return std::string(k);
}

// A quoted text with backslash escapes, starting at text[pos] == '"'; pos ends
// behind the closing quote. Empty optional when it is not closed.
std::optional<std::string> Quoted(std::string_view text, size_t& pos) {
  std::string out;
  for (size_t i = pos + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      out.push_back(text[++i]);
    } else if (c == '"') {
      pos = i + 1;
      return out;
    } else {
      out.push_back(c);
    }
  }
  return std::nullopt;
}

std::string Escaped(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// One logical line of the file (continuation lines ending in "\" joined), with
// the range of physical lines it came from.
struct Entry {
  enum Kind { Other, Section, Value } kind = Other;
  std::string name;  // section key path or value name
  std::string data;  // for values: the text after "="
  size_t first = 0, count = 1;
};

struct Hive {
  std::vector<std::string> lines;  // without their line ends
  std::vector<Entry> entries;
  std::string eol = "\r\n";
};

void Parse(Hive& h, const std::string& bytes) {
  if (!bytes.empty() && bytes.find("\r\n") == std::string::npos) h.eol.assign(1, '\n');
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t nl = bytes.find('\n', pos);
    std::string line = bytes.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    h.lines.push_back(line);
    pos = nl == std::string::npos ? bytes.size() : nl + 1;
  }
  for (size_t i = 0; i < h.lines.size();) {
    Entry e;
    e.first = i;
    std::string text = h.lines[i++];
    // Each physical line that ends in "\" continues on the next one; a joined
    // text that happens to end in "\" does not.
    bool more = !text.empty() && text.back() == '\\';
    while (more && i < h.lines.size()) {
      text.pop_back();
      const std::string& next = h.lines[i++];
      text += next;
      ++e.count;
      more = !next.empty() && next.back() == '\\';
    }
    size_t start = text.find_first_not_of(" \t");
    std::string_view t = start == std::string::npos ? std::string_view() : std::string_view(text).substr(start);
    if (!t.empty() && t[0] == '[') {
      size_t close = t.rfind(']');
      if (close != std::string_view::npos) {
        e.kind = Entry::Section;
        e.name = SectionKey(t.substr(1, close - 1));
      }
    } else if (!t.empty() && (t[0] == '"' || t[0] == '@')) {
      size_t p = 0;
      std::optional<std::string> name = std::string();
      if (t[0] == '"') {
        name = Quoted(t, p);
      } else {
        p = 1;
      }
      if (name && p < t.size() && t[p] == '=') {
        e.kind = Entry::Value;
        e.name = *name;
        e.data = std::string(t.substr(p + 1));
      }
    }
    h.entries.push_back(std::move(e));
  }
}

// False with the system's error number when the file cannot be read.
bool Load(const std::string& file, Hive& h, int& error) {
  std::string bytes;
  if (!ReadWholeFile(file, bytes, error)) return false;
  Parse(h, bytes);
  return true;
}

// Index of the section entry, and of the value entry inside it (or npos).
struct Where {
  size_t section = std::string::npos, value = std::string::npos, sectionEnd = 0;
};

Where Locate(const Hive& h, const RegPath& p) {
  Where w;
  for (size_t i = 0; i < h.entries.size(); ++i) {
    const Entry& e = h.entries[i];
    if (e.kind != Entry::Section || !SameText(e.name, p.key)) continue;
    w.section = i;
    size_t j = i + 1;
    for (; j < h.entries.size() && h.entries[j].kind != Entry::Section; ++j) {
      if (w.value == std::string::npos && h.entries[j].kind == Entry::Value && SameText(h.entries[j].name, p.value))
        w.value = j;
    }
    w.sectionEnd = j;
    return w;
  }
  return w;
}

std::string ValueLine(const RegPath& p, std::string_view text) {
  return (p.value.empty() ? std::string("@") : Escaped(p.value)) + "=" + Escaped(text);
}

void Store(const std::string& file, const Hive& h, const std::vector<std::string>& lines) {
  std::string bytes;
  for (const auto& l : lines) bytes += l + h.eol;
  // A temporary name of this process's own: two runs never write one file.
  ReplaceWholeFile(file, file + "." + std::to_string(ProcessNumber()) + ".tmp", bytes);
}

}  // namespace

std::string RegGetString(const std::string& hiveFile, std::string_view path) {
  Hive h;
  int error = 0;
  if (!Load(hiveFile, h, error)) return {};
  RegPath p = Split(path);
  Where w = Locate(h, p);
  if (w.value == std::string::npos) return {};
  std::string_view data = h.entries[w.value].data;
  if (data.empty() || data[0] != '"') return {};  // dword, hex, ...: not a string
  size_t pos = 0;
  std::optional<std::string> text = Quoted(data, pos);
  if (!text) return {};
  // The value is read into a buffer of 257 bytes, its terminator included; a
  // longer one does not fit and reads as empty.
  if (text->size() > 256) return {};
  return *text;
}

void RegSetString(const std::string& hiveFile, std::string_view path, std::string_view text) {
  Hive h;
  int error = 0;
  if (!Load(hiveFile, h, error)) {
    if (!FileNotFound(error)) return;  // there, but not ours to read: leave it alone
    Parse(h, "REGEDIT4\r\n\r\n");
  }
  RegPath p = Split(path);
  Where w = Locate(h, p);
  std::vector<std::string> out;
  auto copy = [&](size_t fromEntry, size_t toEntry) {
    for (size_t i = fromEntry; i < toEntry; ++i) {
      const Entry& e = h.entries[i];
      for (size_t k = 0; k < e.count; ++k) out.push_back(h.lines[e.first + k]);
    }
  };
  if (text.empty()) {
    if (w.value == std::string::npos) return;  // nothing to delete
    // Every line of the value in its key goes: a second one of a hand-edited
    // hive would otherwise come to light as the value.
    for (size_t i = 0; i < h.entries.size(); ++i) {
      const Entry& e = h.entries[i];
      if (i >= w.value && i < w.sectionEnd && e.kind == Entry::Value && SameText(e.name, p.value)) continue;
      copy(i, i + 1);
    }
  } else if (w.value != std::string::npos) {
    copy(0, w.value);
    out.push_back(ValueLine({p.key, h.entries[w.value].name}, text));  // keeps the name's spelling
    copy(w.value + 1, h.entries.size());
  } else if (w.section != std::string::npos) {
    // After the section's last line that is not blank.
    size_t at = w.sectionEnd;
    while (at > w.section + 1 && h.entries[at - 1].kind == Entry::Other &&
           h.lines[h.entries[at - 1].first].find_first_not_of(" \t") == std::string::npos)
      --at;
    copy(0, at);
    // A last line ending in "\" would run on into the new one.
    if (!out.empty() && !out.back().empty() && out.back().back() == '\\') out.push_back("");
    out.push_back(ValueLine(p, text));
    copy(at, h.entries.size());
  } else {
    copy(0, h.entries.size());
    if (!out.empty() && !out.back().empty()) out.push_back("");
    out.push_back("[" + p.key + "]");
    out.push_back(ValueLine(p, text));
  }
  Store(hiveFile, h, out);
}

}  // namespace corv
