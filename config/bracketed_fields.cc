#include "config/bracketed_fields.h"

namespace tmb {

std::string_view BracketedFields::Rest() const {
  if (pos_ >= end_) return {};
  return std::string_view(data_ + pos_, end_ - pos_);
}

bool BracketedFields::Take(char c) {
  const std::string_view rest = Rest();
  if (rest.empty() || rest.front() != c) return false;
  ++pos_;
  return true;
}

bool BracketedFields::SkipPast(char c) {
  const size_t at = Rest().find(c);
  if (at == std::string_view::npos) return false;
  pos_ += at + 1;
  return true;
}

std::optional<std::string_view> BracketedFields::Field(size_t max) {
  const std::string_view rest = Rest();
  const size_t close = rest.find(']');
  if (close == std::string_view::npos || close > max) return std::nullopt;
  pos_ += close + 1;
  return rest.substr(0, close);
}

}  // namespace tmb
