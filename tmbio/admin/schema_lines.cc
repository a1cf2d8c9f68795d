#include "tmbio/admin/schema_lines.h"

#include <map>
#include <string>
#include <vector>

namespace tmbadmin {

namespace {

// Where each value of the document starts, by path ("keys/1/segments/0",
// indexes from 0), and the text of string values. Only a schema the library
// has already parsed gets here, so the scanner trusts the syntax and only
// takes care never to read past the end.
class Scanner {
 public:
  struct Value {
    int line;
    std::string text;
  };

  explicit Scanner(std::string_view json) : json_(json) {}

  std::map<std::string, Value> Scan() {
    Skip();
    ScanValue("", 0);
    return std::move(values_);
  }

 private:
  // Nesting beyond a schema's depth is not followed.
  static constexpr int kMaxDepth = 16;

  bool AtEnd() const { return pos_ >= json_.size(); }

  void Skip() {
    while (!AtEnd() && (json_[pos_] == ' ' || json_[pos_] == '\t' || json_[pos_] == '\r' ||
                        json_[pos_] == '\n')) {
      if (json_[pos_] == '\n') ++line_;
      ++pos_;
    }
  }

  std::string ScanString() {
    std::string text;
    ++pos_;  // opening quote
    while (!AtEnd() && json_[pos_] != '"') {
      if (json_[pos_] == '\\' && pos_ + 1 < json_.size()) {
        ++pos_;
        const char c = json_[pos_];
        text.push_back(c == 'n' ? '\n' : c == 't' ? '\t' : c);
      } else {
        text.push_back(json_[pos_]);
      }
      ++pos_;
    }
    ++pos_;  // closing quote
    return text;
  }

  void ScanValue(const std::string& path, int depth) {
    if (AtEnd()) return;
    Value& value = values_[path];
    value.line = line_;
    const char c = json_[pos_];
    if (c == '"') {
      value.text = ScanString();
    } else if ((c == '{' || c == '[') && depth < kMaxDepth) {
      const char close = c == '{' ? '}' : ']';
      ++pos_;
      size_t index = 0;
      for (;;) {
        Skip();
        if (AtEnd()) return;
        if (json_[pos_] == close) {
          ++pos_;
          return;
        }
        if (json_[pos_] == ',') {
          ++pos_;
          continue;
        }
        std::string member;
        if (c == '{') {
          if (json_[pos_] != '"') return;
          member = ScanString();
          Skip();
          if (AtEnd() || json_[pos_] != ':') return;
          ++pos_;
          Skip();
        } else {
          member = std::to_string(index++);
        }
        const size_t before = pos_;
        ScanValue(path.empty() ? member : path + "/" + member, depth + 1);
        if (pos_ == before) return;  // not a value: stop rather than loop
      }
    } else {
      while (!AtEnd() && json_[pos_] != ',' && json_[pos_] != '}' && json_[pos_] != ']' &&
             json_[pos_] != '\n') {
        ++pos_;
      }
    }
  }

  std::string_view json_;
  size_t pos_ = 0;
  int line_ = 1;
  std::map<std::string, Value> values_;
};

// The element of array `list` that `error` starts by naming ("field id: "
// or "field 2: " after `word`), as its path; empty when none. *rest gets
// what follows the name.
std::string Element(const std::map<std::string, Scanner::Value>& values, const std::string& list,
                    const std::string& word, std::string_view error, std::string_view* rest) {
  const std::string lead = word + " ";
  if (error.substr(0, lead.size()) != lead) return std::string();
  const std::string_view named = error.substr(lead.size());
  std::string best;
  size_t best_length = 0;
  for (size_t i = 0;; ++i) {
    const std::string path = list + "/" + std::to_string(i);
    if (values.find(path) == values.end()) break;
    auto name = values.find(path + "/name");
    for (const std::string& candidate :
         {name == values.end() ? std::string() : name->second.text, std::to_string(i + 1)}) {
      const std::string head = candidate + ":";
      if (!candidate.empty() && named.substr(0, head.size()) == head &&
          candidate.size() > best_length) {
        best = path;
        best_length = candidate.size();
      }
    }
  }
  if (!best.empty()) {
    *rest = named.substr(best_length + 1);
    while (!rest->empty() && rest->front() == ' ') rest->remove_prefix(1);
  }
  return best;
}

}  // namespace

int SchemaErrorLine(std::string_view json, std::string_view error) {
  const std::map<std::string, Scanner::Value> values = Scanner(json).Scan();
  auto line_of = [&](const std::string& path) {
    auto it = values.find(path);
    return it == values.end() ? 0 : it->second.line;
  };
  std::string_view rest;
  std::string path = Element(values, "fields", "field", error, &rest);
  if (!path.empty()) return line_of(path);
  path = Element(values, "keys", "key", error, &rest);
  if (!path.empty()) {
    std::string_view after;
    const std::string segment = Element(values, path + "/segments", "segment", rest, &after);
    return line_of(segment.empty() ? path : segment);
  }
  // Members of the top level, longest names first so that "variable_length"
  // is not taken for a mention of something shorter.
  for (const char* member :
       {"variable_length", "record_length", "description", "fields", "keys", "kind"}) {
    if (error.find(member) != std::string_view::npos && line_of(member) > 0) return line_of(member);
  }
  return 0;
}

}  // namespace tmbadmin
