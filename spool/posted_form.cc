// Posted forms: the byte-at-a-time decoder of URL-encoded form bodies and the
// exchange that spools the request the decoded fields name.
#include "spool/posted_form.h"

#include <optional>

#include "text/ascii.h"

namespace spool {

namespace {

using text::HexDigitValue;

// The first stage: "%" and two hexadecimal digits give one byte. Inside an
// escape every byte that is not a hexadecimal digit is dropped, so an escape
// stays open until its second digit arrives.
class EscapeDecoder {
 public:
  std::optional<char> Take(char byte) {
    if (!open_) {
      if (byte != '%') return byte;
      open_ = true;
      high_digit_ = -1;
      return std::nullopt;
    }
    const int digit = HexDigitValue(byte);
    if (digit < 0) return std::nullopt;
    if (high_digit_ < 0) {
      high_digit_ = digit;
      return std::nullopt;
    }
    open_ = false;
    return static_cast<char>(high_digit_ * 16 + digit);
  }

 private:
  bool open_ = false;
  int high_digit_ = -1;
};

// A field text as the spool stores it: up to its first zero byte.
std::string_view UpToZero(std::string_view text) { return text.substr(0, text.find('\0')); }

std::string* NamedField(PostedForm& form, std::string_view name) {
  if (name == "logon") return &form.logon;
  if (name == "command") return &form.command;
  if (name == "p1") return &form.p1;
  if (name == "p2") return &form.p2;
  if (name == "p3") return &form.p3;
  return nullptr;
}

// "p", a digit, and the number its digits make is above 3 (whatever follows
// the digits): p4, p10, p04, p4x. A number too large to hold is above 3 too.
bool IsExtraNumberedField(std::string_view name) {
  if (name.size() < 2 || name[0] != 'p' || name[1] < '0' || name[1] > '9') return false;
  unsigned long number = 0;
  for (std::size_t i = 1; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
    if (number > 3) return true;  // more digits only make it larger
    number = number * 10 + static_cast<unsigned long>(name[i] - '0');
  }
  return number > 3;
}

// The second stage: decoded characters build names and values.
class FormParser {
 public:
  void Take(char c) {
    if (!in_value_) {
      if (c == '=') {
        value_.clear();
        in_value_ = true;
      } else if (name_.size() < kFormFieldMaxLength) {
        name_.push_back(c);
      }
      return;
    }
    if (c == '&') {
      CompleteField();
    } else if (value_.size() < kFormFieldMaxLength) {
      value_.push_back(c);
    }
  }

  // After the last byte: a recognised name still being read (an escape was
  // open at the end) keeps the value being read, which "=" alone empties.
  PostedForm Finish() {
    if (std::string* field = NamedField(form_, UpToZero(name_))) {
      *field = UpToZero(value_);
    }
    return std::move(form_);
  }

 private:
  void CompleteField() {
    const std::string_view name = UpToZero(name_);
    const std::string_view value = UpToZero(value_);
    if (std::string* field = NamedField(form_, name)) {
      *field = value;
    } else if (IsExtraNumberedField(name) && form_.p3.size() + value.size() < kPostedP3Limit) {
      form_.p3.push_back('|');
      form_.p3.append(value);
    }
    name_.clear();
    in_value_ = false;
  }

  PostedForm form_;
  std::string name_;
  std::string value_;
  bool in_value_ = false;
};

}  // namespace

PostedForm DecodePostedForm(std::string_view body) {
  EscapeDecoder escapes;
  FormParser parser;
  const auto feed = [&](char byte) {
    if (const std::optional<char> decoded = escapes.Take(byte)) parser.Take(*decoded);
  };
  for (const char byte : body) feed(byte);
  // One extra "&" ends the last field (dropped when an escape is still open).
  feed('&');
  return parser.Finish();
}

std::string ExchangePostedForm(const InstallRoot& root, const ServerTexts& server,
                               std::string_view body, std::string* own_wait_page) {
  const PostedForm form = DecodePostedForm(body);
  // The decoded fields go through the same refusals as a query's (a ticket
  // that is no number, a value holding a line end) and the same bounds: a p3
  // of up to 8192 characters is cut in the request identity and the traces.
  const RequestFields fields{form.logon, form.command, form.p1, form.p2, form.p3};
  return RunTicketExchange(root, server, fields, kPostedFormExchange, nullptr, own_wait_page);
}

}  // namespace spool
