#include "support/json_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace vx::test {

namespace {

// A recursive-descent reader of RFC 8259's grammar that keeps nothing: it only says where the
// text stops being JSON.
class Reader {
 public:
  explicit Reader(const std::string& text) : t_(text) {}

  bool whole() {
    space();
    if (!value()) return false;
    space();
    return i_ == t_.size();
  }
  std::size_t at() const { return i_; }

 private:
  bool value() {
    if (i_ >= t_.size()) return false;
    switch (t_[i_]) {
      case '{':
        return members('}', true);
      case '[':
        return members(']', false);
      case '"':
        return string();
      case 't':
        return word("true");
      case 'f':
        return word("false");
      case 'n':
        return word("null");
      default:
        return number();
    }
  }
  bool members(char close, bool object) {
    ++i_;
    space();
    if (i_ < t_.size() && t_[i_] == close) return ++i_, true;
    for (;;) {
      space();
      if (object) {
        if (i_ >= t_.size() || t_[i_] != '"' || !string()) return false;
        space();
        if (i_ >= t_.size() || t_[i_++] != ':') return false;
        space();
      }
      if (!value()) return false;
      space();
      if (i_ >= t_.size()) return false;
      if (t_[i_] == close) return ++i_, true;
      if (t_[i_++] != ',') return false;
    }
  }
  bool string() {
    for (++i_; i_ < t_.size(); ++i_) {
      const auto c = static_cast<unsigned char>(t_[i_]);
      if (c == '"') return ++i_, true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (++i_ >= t_.size()) return false;
      if (t_[i_] == 'u') {
        for (int k = 0; k < 4; ++k) {
          if (++i_ >= t_.size() || !std::isxdigit(static_cast<unsigned char>(t_[i_]))) return false;
        }
      } else if (!std::strchr("\"\\/bfnrt", t_[i_])) {
        return false;
      }
    }
    return false;
  }
  bool word(const char* w) {
    if (t_.compare(i_, std::strlen(w), w) != 0) return false;
    i_ += std::strlen(w);
    return true;
  }
  bool number() {
    const std::size_t from = i_;
    if (i_ < t_.size() && t_[i_] == '-') ++i_;
    if (i_ < t_.size() && t_[i_] == '0') {
      ++i_;
    } else if (!digits()) {
      return false;
    }
    if (i_ < t_.size() && t_[i_] == '.') {
      ++i_;
      if (!digits()) return false;
    }
    if (i_ < t_.size() && (t_[i_] == 'e' || t_[i_] == 'E')) {
      ++i_;
      if (i_ < t_.size() && (t_[i_] == '+' || t_[i_] == '-')) ++i_;
      if (!digits()) return false;
    }
    return i_ > from;
  }
  bool digits() {
    const std::size_t from = i_;
    while (i_ < t_.size() && std::isdigit(static_cast<unsigned char>(t_[i_]))) ++i_;
    return i_ > from;
  }
  void space() {
    while (i_ < t_.size() && std::strchr(" \t\r\n", t_[i_]) && t_[i_] != '\0') ++i_;
  }

  const std::string& t_;
  std::size_t i_ = 0;
};

}  // namespace

bool valid_json(const std::string& text, std::string* why) {
  Reader reader(text);
  if (reader.whole()) return true;
  if (why) *why = "not JSON at byte " + std::to_string(reader.at());
  return false;
}

void expect_json_lines(const std::string& out) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::string why;
    if (line.empty() || line.front() != '{' || !valid_json(line, &why)) {
      ADD_FAILURE() << "a --json line that is no JSON object (" << why << "): " << line;
    }
  }
}

}  // namespace vx::test
