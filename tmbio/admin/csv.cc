#include "tmbio/admin/csv.h"

#include <utility>

namespace tmbadmin {

namespace {

bool NeedsQuotes(std::string_view field) {
  return field.find_first_of(",\"\r\n") != std::string_view::npos;
}

}  // namespace

int CsvReader::Get() {
  int c = in_->rdbuf()->sbumpc();
  if (c == '\n') {
    ++line_;
  } else if (c == '\r' && in_->rdbuf()->sgetc() != '\n') {
    ++line_;  // a lone CR ends a line as well
  }
  return c;
}

int CsvReader::Peek() { return in_->rdbuf()->sgetc(); }

bool CsvReader::Fail(std::string message) {
  error_ = std::move(message);
  return false;
}

bool CsvReader::Next(std::vector<std::string>* fields) {
  fields->clear();
  if (!error_.empty() || in_->rdbuf() == nullptr) return false;
  constexpr int kEof = std::char_traits<char>::eof();
  if (!started_) {
    started_ = true;
    static constexpr unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
    if (Peek() == kBom[0]) {
      // Only a whole mark is dropped; anything else is data.
      std::string head;
      for (unsigned char b : kBom) {
        if (Peek() != b) break;
        head.push_back(static_cast<char>(Get()));
      }
      if (head.size() != sizeof(kBom)) {
        for (auto it = head.rbegin(); it != head.rend(); ++it) {
          if (in_->rdbuf()->sputbackc(*it) == kEof) return Fail("cannot reread the first bytes");
        }
      }
    }
  }
  // Empty lines carry no record.
  for (;;) {
    int c = Peek();
    if (c == '\n' || c == '\r') {
      Get();
      if (c == '\r' && Peek() == '\n') Get();
      continue;
    }
    if (c == kEof) return false;
    break;
  }
  record_line_ = line_;
  std::string field;
  for (;;) {
    int c = Get();
    if (c == '"') {
      // Quoted field: runs to the quote not doubled.
      if (!field.empty()) return Fail("quote inside an unquoted field");
      const int64_t opened = line_;
      for (;;) {
        c = Get();
        if (c == kEof) {
          return Fail("quoted field opened on line " + std::to_string(opened) + " is not closed");
        }
        if (c == '"') {
          if (Peek() != '"') break;
          Get();
        }
        if (field.size() >= kMaxFieldBytes) {
          return Fail("field longer than " + std::to_string(kMaxFieldBytes) + " bytes");
        }
        field.push_back(static_cast<char>(c));
      }
      c = Get();
      if (c != ',' && c != '\n' && c != '\r' && c != kEof) {
        return Fail("text after the closing quote of a field");
      }
    } else {
      while (c != ',' && c != '\n' && c != '\r' && c != kEof) {
        if (c == '"') return Fail("quote inside an unquoted field");
        if (field.size() >= kMaxFieldBytes) {
          return Fail("field longer than " + std::to_string(kMaxFieldBytes) + " bytes");
        }
        field.push_back(static_cast<char>(c));
        c = Get();
      }
    }
    if (fields->size() >= kMaxFields) {
      return Fail("more than " + std::to_string(kMaxFields) + " fields in a record");
    }
    fields->push_back(std::move(field));
    field.clear();
    if (c == ',') continue;
    if (c == '\r' && Peek() == '\n') Get();
    return true;
  }
}

void AppendCsvRecord(const std::vector<std::string>& fields, std::string* out) {
  if (fields.size() == 1 && fields[0].empty()) {
    out->append("\"\"\n");
    return;
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out->push_back(',');
    const std::string& f = fields[i];
    if (!NeedsQuotes(f)) {
      out->append(f);
      continue;
    }
    out->push_back('"');
    for (char c : f) {
      if (c == '"') out->push_back('"');
      out->push_back(c);
    }
    out->push_back('"');
  }
  out->push_back('\n');
}

}  // namespace tmbadmin
