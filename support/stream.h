// Character streams: every message and most built byte sequences are appended
// to an output stream piece by piece (texts, decimal and hexadecimal numbers);
// where the characters go depends only on the stream's Put. Input streams give
// characters back one at a time for the number readers.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace corv {

class OutStream {
 public:
  virtual void Put(char c) = 0;
  // One piece (a text, a number, a character) at once; character by character
  // unless the stream takes it whole.
  virtual void PutText(std::string_view text) {
    for (char c : text) Put(c);
  }

 protected:
  ~OutStream() = default;
};

// Formatting pieces for operator<<.
struct Dec {  // signed decimal; zero-filled to width when width > 0
  int32_t value;
  int width = 0;
};
struct Hex {  // the low `digits` nibbles, most significant first, upper case
  uint32_t value;
  int digits;
};
struct Padded {  // text preceded by blanks up to a minimum width
  std::string_view text;
  int width;
};

OutStream& operator<<(OutStream& s, std::string_view text);
OutStream& operator<<(OutStream& s, char c);
OutStream& operator<<(OutStream& s, Dec d);
OutStream& operator<<(OutStream& s, Hex h);
OutStream& operator<<(OutStream& s, Padded p);
// Disambiguates string literals and std::string against the overloads above.
inline OutStream& operator<<(OutStream& s, const char* text) { return s << std::string_view(text); }
inline OutStream& operator<<(OutStream& s, const std::string& text) { return s << std::string_view(text); }

// Bytes of a number, most significant first (count 1, 2 or 4).
void WriteBigEndian(OutStream& s, uint32_t value, int count);

// Version × 100 as text: 510 gives "5.10", 405 gives "4.05".
std::string VersionText(uint16_t version);

// Collects what is written into a text.
class TextStream : public OutStream {
 public:
  void Put(char c) override { text_.push_back(c); }
  const std::string& Text() const { return text_; }
  std::string& Text() { return text_; }

 private:
  std::string text_;
};

// Overwrites a text from an index on, appending at or past its end; the index
// advances unless it is negative (then every character is appended).
class TextAtIndex : public OutStream {
 public:
  TextAtIndex(std::string& text, int16_t index) : text_(text), index_(index) {}
  void Put(char c) override {
    if (index_ >= 0 && static_cast<size_t>(index_) < text_.size()) {
      text_[static_cast<size_t>(index_)] = c;
    } else {
      text_.push_back(c);
    }
    if (index_ >= 0) ++index_;
  }
  int16_t Index() const { return index_; }

 private:
  std::string& text_;
  int16_t index_;
};

// Stores bytes through a cursor into memory the caller sized.
class MemorySink : public OutStream {
 public:
  explicit MemorySink(uint8_t*& cursor) : cursor_(cursor) {}
  void Put(char c) override { *cursor_++ = static_cast<uint8_t>(c); }

 private:
  uint8_t*& cursor_;
};

class InStream {
 public:
  // The next character (0..255), or -1 at the end.
  virtual int Get() = 0;

 protected:
  ~InStream() = default;
};

// Reads a text; gives 0 at its end, as the program's text source does.
class TextSource : public InStream {
 public:
  explicit TextSource(std::string_view text) : text_(text) {}
  int Get() override {
    if (pos_ >= text_.size()) return 0;
    return static_cast<unsigned char>(text_[pos_++]);
  }
  size_t Position() const { return pos_; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// Gives back bytes from memory through a cursor.
class MemorySource : public InStream {
 public:
  explicit MemorySource(const uint8_t*& cursor) : cursor_(cursor) {}
  int Get() override { return *cursor_++; }

 private:
  const uint8_t*& cursor_;
};

// Blanks and tabs skipped, optional "-", decimal digits up to the first other
// character (consumed); no digit gives 0.
int32_t ReadDecimal(InStream& s);
// Blanks and tabs skipped, optional "$", "0x" prefix, at most 2 * bytes hex digits.
uint32_t ReadHex(InStream& s, int bytes);
// Bytes most significant first (count 1 to 4).
uint32_t ReadBigEndian(InStream& s, int count);

// The same decimal rule applied to a whole text.
int32_t DecimalValue(std::string_view text);

}  // namespace corv
