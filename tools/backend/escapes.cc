// The kit's escapes for the stand-in's C++.

#include "tools/backend/escapes.h"

#include <memory>
#include <new>

#include "dudarovuvadu/backend_kit.h"

namespace tools {

namespace {

struct KitFree {
  void operator()(char* buffer) const { dbk_free(buffer); }
};

std::string Escape(dbk_escape_kind kind, std::string_view text) {
  char* escaped = nullptr;
  std::size_t length = 0;
  const dbk_result result = dbk_escape(kind, text.data(), text.size(), &escaped, &length);
  const std::unique_ptr<char, KitFree> owned(escaped);
  // The only failure for valid arguments is a lack of memory.
  if (result != DBK_OK) throw std::bad_alloc();
  return std::string(escaped, length);
}

}  // namespace

std::string HtmlEscape(std::string_view text) { return Escape(DBK_ESCAPE_HTML, text); }
std::string UrlEncode(std::string_view text) { return Escape(DBK_ESCAPE_URL, text); }
std::string BracketEscape(std::string_view name) { return Escape(DBK_ESCAPE_FILE_NAME, name); }

bool HasControlBytes(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

}  // namespace tools
