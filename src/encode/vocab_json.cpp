#include "encode/vocab_json.hpp"

#include <cerrno>
#include <cstring>
#include <memory>

#include "util/flat_map.hpp"
#include "util/utf8.hpp"

namespace tarvex {

namespace {

// Byte source over either a FILE (buffered) or an in-memory text, tracking
// the position of the next byte for error messages.
class Source {
 public:
  explicit Source(std::FILE* f) : file_(f), buf_(new char[kBufSize]) {}
  explicit Source(const std::string& text) : data_(text.data()), len_(text.size()) {}

  // Next byte without consuming it, or -1 at the end (or after a read error).
  int peek() {
    if (pos_ == len_ && !refill()) return -1;
    return static_cast<unsigned char>(data_[pos_]);
  }
  int get() {
    int c = peek();
    if (c < 0) return c;
    ++pos_;
    if (c == '\n') {
      ++line_;
      col_ = 0;
    } else if ((c & 0xC0) != 0x80) {
      ++col_;  // columns count characters, so continuation bytes do not move it
    }
    return c;
  }
  bool read_failed() const { return read_error_ != 0; }
  int read_error() const { return read_error_; }

  // "at line L column C" of the last consumed byte (column 0 before any).
  std::string where() const {
    return "at line " + std::to_string(line_) + " column " + std::to_string(col_);
  }

 private:
  static constexpr size_t kBufSize = 8192;

  bool refill() {
    if (!file_ || eof_) return false;
    size_t got = std::fread(buf_.get(), 1, kBufSize, file_);
    if (got == 0) {
      if (std::ferror(file_)) read_error_ = errno ? errno : EIO;
      eof_ = true;
      return false;
    }
    data_ = buf_.get();
    len_ = got;
    pos_ = 0;
    return true;
  }

  std::FILE* file_ = nullptr;
  std::unique_ptr<char[]> buf_;
  const char* data_ = nullptr;
  size_t len_ = 0, pos_ = 0;
  bool eof_ = false;
  int read_error_ = 0;
  size_t line_ = 1, col_ = 0;
};

class Parser {
 public:
  explicit Parser(Source& src) : src_(src) {}

  Result<VocabEntries> parse() {
    skip_ws();
    int c = src_.get();
    if (c != '{') return c < 0 ? fail("EOF while parsing a value") : fail("expected a JSON object");
    VocabEntries out;
    FlatMap<std::string, size_t> index;  // name -> position in `out`
    skip_ws();
    if (src_.peek() == '}') {
      src_.get();
    } else {
      for (;;) {
        skip_ws();
        c = src_.get();
        if (c != '"') return c < 0 ? fail("EOF while parsing an object") : fail("expected a string key");
        std::string key;
        TARVEX_TRY(parse_string_body(key));
        skip_ws();
        c = src_.get();
        if (c != ':') return c < 0 ? fail("EOF while parsing an object") : fail("expected `:`");
        skip_ws();
        auto value = parse_u32();
        if (!value) return std::move(value).error();
        auto [slot, inserted] = index.find_or_insert(key, [&] { return out.size(); });
        if (inserted)
          out.emplace_back(std::move(key), *value);
        else
          out[*slot].second = *value;  // a repeated name: the later value wins
        skip_ws();
        c = src_.get();
        if (c == ',') continue;
        if (c == '}') break;
        return c < 0 ? fail("EOF while parsing an object") : fail("expected `,` or `}`");
      }
    }
    skip_ws();
    if (src_.peek() >= 0) {
      src_.get();
      return fail("trailing characters");
    }
    if (src_.read_failed()) return read_error();
    return out;
  }

 private:
  // A read error ends the input early; report it rather than the syntax
  // fault it causes.
  Error fail(const std::string& what) const {
    if (src_.read_failed()) return read_error();
    return Error(what + " " + src_.where());
  }
  Error read_error() const { return Error(std::string("read error: ") + std::strerror(src_.read_error())); }

  void skip_ws() {
    for (;;) {
      int c = src_.peek();
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      src_.get();
    }
  }

  Result<uint32_t> parse_u32() {
    int c = src_.peek();
    if (c == '-') {
      src_.get();
      return fail("invalid value: negative number, expected an unsigned 32-bit id");
    }
    if (c < '0' || c > '9') {
      src_.get();
      if (c < 0) return fail("EOF while parsing a value");
      return fail(c == '"' || c == '[' || c == '{' || c == 't' || c == 'f' || c == 'n'
                      ? "invalid type: expected an unsigned 32-bit id"
                      : "expected value");
    }
    uint64_t v = 0;
    bool leading_zero = c == '0';
    size_t digits = 0;
    while ((c = src_.peek()) >= '0' && c <= '9') {
      src_.get();
      if (leading_zero && digits == 1) return fail("invalid number: leading zero");
      v = v * 10 + static_cast<uint64_t>(c - '0');
      if (v > 0xFFFFFFFFull) return fail("invalid value: number out of range for an unsigned 32-bit id");
      ++digits;
    }
    if (c == '.' || c == 'e' || c == 'E') {
      src_.get();
      return fail("invalid type: floating point number, expected an unsigned 32-bit id");
    }
    return static_cast<uint32_t>(v);
  }

  // Reads the rest of a string after its opening quote into `out` (UTF-8).
  Status parse_string_body(std::string& out) {
    for (;;) {
      int c = src_.get();
      if (c < 0) return fail("EOF while parsing a string");
      if (c == '"') break;
      if (c < 0x20) return fail("control character (\\u0000-\\u001F) found while parsing a string");
      if (c == '\\') {
        TARVEX_TRY(parse_escape(out));
        continue;
      }
      if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        continue;
      }
      // A multi-byte character: gather it whole and validate it strictly.
      size_t len = c >= 0xC0 && c < 0xF8 ? utf8_len_of_lead(static_cast<unsigned char>(c)) : 0;
      if (len < 2) return fail("invalid UTF-8");
      std::string ch(1, static_cast<char>(c));
      for (size_t k = 1; k < len; ++k) {
        int d = src_.peek();
        if (d < 0 || (d & 0xC0) != 0x80) return fail("invalid UTF-8");
        ch.push_back(static_cast<char>(src_.get()));
      }
      if (!utf8_valid(ch)) return fail("invalid UTF-8");
      out += ch;
    }
    return Status::ok();
  }

  Result<uint32_t> parse_hex4() {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      int c = src_.get();
      if (c < 0) return fail("EOF while parsing a string");
      uint32_t d;
      if (c >= '0' && c <= '9')
        d = static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        d = static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        d = static_cast<uint32_t>(c - 'A' + 10);
      else
        return fail("invalid escape");
      v = v * 16 + d;
    }
    return v;
  }

  Status parse_escape(std::string& out) {
    int c = src_.get();
    switch (c) {
      case '"': out.push_back('"'); return Status::ok();
      case '\\': out.push_back('\\'); return Status::ok();
      case '/': out.push_back('/'); return Status::ok();
      case 'b': out.push_back('\b'); return Status::ok();
      case 'f': out.push_back('\f'); return Status::ok();
      case 'n': out.push_back('\n'); return Status::ok();
      case 'r': out.push_back('\r'); return Status::ok();
      case 't': out.push_back('\t'); return Status::ok();
      case 'u': break;
      default:
        if (c < 0) return fail("EOF while parsing a string");
        return fail("invalid escape");
    }
    auto hi = parse_hex4();
    if (!hi) return std::move(hi).error();
    uint32_t cp = *hi;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone trailing surrogate in hex escape");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      // A high surrogate is only valid as the first half of a \u pair.
      if (src_.get() != '\\' || src_.get() != 'u') return fail("unexpected end of hex escape");
      auto lo = parse_hex4();
      if (!lo) return std::move(lo).error();
      if (*lo < 0xDC00 || *lo > 0xDFFF) return fail("lone leading surrogate in hex escape");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (*lo - 0xDC00);
    }
    utf8_append(out, cp);
    return Status::ok();
  }

  Source& src_;
};

}  // namespace

Result<VocabEntries> parse_vocab_json(std::FILE* file) {
  Source src(file);
  return Parser(src).parse();
}

Result<VocabEntries> parse_vocab_json_text(const std::string& text) {
  Source src(text);
  return Parser(src).parse();
}

Result<VocabEntries> read_vocab_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    int err = errno;
    return Error(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")").wrap("open vocab failed");
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> owner(f, &std::fclose);
  auto parsed = parse_vocab_json(f);
  if (!parsed) return std::move(parsed).error().wrap("parse vocab.json failed");
  return parsed;
}

}  // namespace tarvex
