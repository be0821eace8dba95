// Number and text writers and the number readers on character streams.
#include "support/stream.h"

namespace corv {

// Each piece reaches the stream in one PutText, so that a sink that writes
// through makes one write of it.
OutStream& operator<<(OutStream& s, std::string_view text) {
  s.PutText(text);
  return s;
}

OutStream& operator<<(OutStream& s, char c) {
  s.PutText(std::string_view(&c, 1));
  return s;
}

OutStream& operator<<(OutStream& s, Dec d) {
  // 64-bit magnitude so that INT32_MIN has a positive counterpart.
  int64_t v = d.value;
  std::string text;
  if (v < 0) {
    text.push_back('-');
    v = -v;
  }
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = n; i < d.width; ++i) text.push_back('0');
  while (n > 0) text.push_back(digits[--n]);
  s.PutText(text);
  return s;
}

OutStream& operator<<(OutStream& s, Hex h) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  int digits = h.digits < 0 ? 0 : (h.digits > 8 ? 8 : h.digits);
  char text[8];
  for (int i = digits - 1; i >= 0; --i) text[digits - 1 - i] = kDigits[(h.value >> (4 * i)) & 0xF];
  s.PutText(std::string_view(text, static_cast<size_t>(digits)));
  return s;
}

OutStream& operator<<(OutStream& s, Padded p) {
  const size_t width = p.width > 0 ? static_cast<size_t>(p.width) : 0;
  std::string text(width > p.text.size() ? width - p.text.size() : 0, ' ');
  text.append(p.text);
  s.PutText(text);
  return s;
}

void WriteBigEndian(OutStream& s, uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) s.Put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::string VersionText(uint16_t version) {
  TextStream t;
  t << Dec{version / 100} << '.' << Dec{version % 100, 2};
  return t.Text();
}

namespace {
bool IsBlank(int c) { return c == ' ' || c == '\t'; }
int HexDigit(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

int32_t ReadDecimal(InStream& s) {
  int c = s.Get();
  while (IsBlank(c)) c = s.Get();
  bool negative = false;
  if (c == '-') {
    negative = true;
    c = s.Get();
  }
  // Unsigned arithmetic wraps like the 32-bit value it stands for instead of
  // overflowing on absurdly long digit runs.
  uint32_t value = 0;
  while (c >= '0' && c <= '9') {
    value = value * 10u + static_cast<uint32_t>(c - '0');
    c = s.Get();
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

uint32_t ReadHex(InStream& s, int bytes) {
  const int maxDigits = 2 * bytes;
  int c = s.Get();
  while (IsBlank(c)) c = s.Get();
  if (c == '$') c = s.Get();
  uint32_t value = 0;
  int taken = 0;
  if (c == '0') {
    c = s.Get();
    if (c == 'x' || c == 'X') {
      c = s.Get();
    } else {
      taken = 1;  // the leading zero is the first digit
    }
  }
  while (taken < maxDigits) {
    int d = HexDigit(c);
    if (d < 0) break;
    value = (value << 4) | static_cast<uint32_t>(d);
    ++taken;
    if (taken < maxDigits) c = s.Get();
  }
  return value;
}

uint32_t ReadBigEndian(InStream& s, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | (static_cast<uint32_t>(s.Get()) & 0xFF);
  return value;
}

int32_t DecimalValue(std::string_view text) {
  TextSource src(text);
  return ReadDecimal(src);
}

}  // namespace corv
