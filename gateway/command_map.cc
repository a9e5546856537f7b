// Look-up in the command map and the conversion of an argument text into the
// typed values a handler takes: by position, or as name=value pairs with the
// defaults of the command's parameter entry.
#include "gateway/command_map.h"

#include <array>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "gateway/url_decode.h"
#include "text/ascii.h"

namespace gateway {

using text::EqualsIgnoringAsciiCase;

namespace {

constexpr char kQuote = '\'';

bool IsWhite(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool IsCommandEntry(const CommandEntry& entry) {
  return entry.handler != nullptr && entry.arg_types != nullptr;
}

// The next token of `*cursor`: leading separators skipped, the token ends at
// the next separator, which becomes a zero byte. Null when nothing is left.
char* NextToken(char** cursor, char separator) {
  char* text = *cursor;
  if (text == nullptr) return nullptr;
  while (*text == separator) ++text;
  if (*text == '\0') {
    *cursor = text;
    return nullptr;
  }
  char* token = text;
  char* end = std::strchr(text, separator);
  if (end == nullptr) {
    *cursor = token + std::strlen(token);
  } else {
    *end = '\0';
    *cursor = end + 1;
  }
  return token;
}

// The rest of an argument text is clean when it is empty and holds no
// separator (a token list that used every type code must stop there).
bool RestIsEmpty(const char* rest, char separator) {
  return rest == nullptr || (*rest == '\0' && std::strchr(rest, separator) == nullptr);
}

// Leading white space, an optional sign and digits; 0 without digits. Out of
// range values saturate instead of overflowing.
long ParseLong(const char* text) { return std::strtol(text, nullptr, 10); }

}  // namespace

CommandLookUp LookUpCommand(std::span<CommandEntry> map, const char* name, Handler handler) {
  if (name == nullptr && handler == nullptr) {
    // The first default marker names the default command; its first command
    // entry is the one called.
    for (CommandEntry& entry : map) {
      if (entry.handler != nullptr && entry.arg_types == nullptr) {
        return LookUpCommand(map, nullptr, entry.handler);
      }
    }
    return {};
  }
  for (std::size_t i = 0; i < map.size(); ++i) {
    CommandEntry& entry = map[i];
    if (!IsCommandEntry(entry)) continue;
    if (handler != nullptr && entry.handler != handler) continue;
    if (name != nullptr && (entry.name == nullptr || !EqualsIgnoringAsciiCase(entry.name, name)))
      continue;
    CommandLookUp found;
    found.command = &entry;
    if (i + 1 < map.size() && map[i + 1].handler == nullptr) found.parameters = &map[i + 1];
    return found;
  }
  return {};
}

CommandLookUp LookUpCommand(std::span<CommandEntry> map, std::string_view name) {
  for (std::size_t i = 0; i < map.size(); ++i) {
    CommandEntry& entry = map[i];
    if (!IsCommandEntry(entry) || entry.name == nullptr) continue;
    if (!EqualsIgnoringAsciiCase(entry.name, name)) continue;
    CommandLookUp found;
    found.command = &entry;
    if (i + 1 < map.size() && map[i + 1].handler == nullptr) found.parameters = &map[i + 1];
    return found;
  }
  return {};
}

void ReleaseParamInfoCache(std::span<CommandEntry> map) {
  for (CommandEntry& entry : map) delete entry.param_info.exchange(nullptr);
}

int CachedParamInfo(CommandEntry& parameters, const unsigned char* types, char separator,
                    const ParamInfo** info) {
  // Acquire pairs with the release of the publishing exchange below: a
  // reader that sees the pointer sees the whole built info.
  const ParamInfo* cached = parameters.param_info.load(std::memory_order_acquire);
  if (cached == nullptr) {
    std::unique_ptr<ParamInfo> built;
    const int type_count = static_cast<int>(std::strlen(reinterpret_cast<const char*>(types)));
    const int result = ParseParamNames(parameters.arg_types, type_count, types, separator, &built);
    if (result != ResultOk) return result;
    if (parameters.param_info.compare_exchange_strong(
            cached, built.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
      cached = built.release();
    }
    // Otherwise another thread published first: `cached` is its copy, and
    // this one is freed with `built`.
  }
  *info = cached;
  return ResultOk;
}

int CountParamNames(const char* text, char separator, int* count) {
  bool between_names = true;
  bool in_quotes = false;
  int names = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (between_names) {
      if (*c == kQuote) return ResultUnbalancedQuote;
      if (IsWhite(*c)) continue;
      ++names;
      between_names = false;
    } else if (*c == kQuote) {
      in_quotes = !in_quotes;
    } else if (!in_quotes && (IsWhite(*c) || *c == separator)) {
      between_names = true;
    }
  }
  *count = names;
  if (names == 0) return ResultNoParamNames;
  if (in_quotes) return ResultUnbalancedQuote;
  return ResultOk;
}

namespace {

// Cuts the default value that starts at `c` (just after its "="): a quoted
// text up to its closing quote (or the end), else the text up to white
// space. Returns where reading goes on.
char* CutDefault(char* c, char** default_text) {
  if (*c == kQuote) {
    char* start = c + 1;
    *default_text = start;
    char* end = std::strchr(start, kQuote);
    if (end == nullptr) return start + std::strlen(start);
    *end = '\0';
    return end + 1;
  }
  *default_text = c;
  while (*c != '\0' && !IsWhite(*c)) ++c;
  if (*c != '\0') *c++ = '\0';
  return c;
}

// Cuts the names and default texts of `info`'s private copy in place:
// names separated by white space, each with an optional "=" and default.
int CutNamesAndDefaults(ParamInfo& info) {
  bool in_name = false;
  bool seen_default = false;
  char* c = info.private_copy.get();
  while (*c != '\0') {
    if (!in_name) {
      if (IsWhite(*c)) {
        ++c;
        continue;
      }
      if (*c == kQuote || *c == '=') return ResultUnbalancedQuote;
      info.names.push_back(c++);
      info.default_texts.push_back(nullptr);
      in_name = true;
    } else if (IsWhite(*c)) {
      // A required parameter may not follow one with a default.
      if (seen_default) return ResultBadArgument;
      *c++ = '\0';
      in_name = false;
    } else if (*c == '=') {
      *c++ = '\0';
      seen_default = true;
      c = CutDefault(c, &info.default_texts.back());
      in_name = false;
    } else if (*c == kQuote) {
      return ResultUnbalancedQuote;
    } else {
      ++c;
    }
  }
  // A name that runs to the end of the text has no default.
  if (in_name && seen_default && info.default_texts.back() == nullptr) return ResultBadArgument;
  return ResultOk;
}

// Counts the required parameters and converts each default by its type.
void ConvertDefaults(ParamInfo& info, const unsigned char* types) {
  info.default_values.resize(info.names.size());
  for (std::size_t i = 0; i < info.names.size(); ++i) {
    if (info.default_texts[i] == nullptr) {
      ++info.required_count;
    } else {
      info.default_values[i] = ConvertArgument(types[i], info.default_texts[i]);
    }
  }
}

}  // namespace

int ParseParamNames(const char* entry_text, int type_count, const unsigned char* types,
                    char separator, std::unique_ptr<ParamInfo>* info) {
  if (entry_text == nullptr || *entry_text == '\0') return ResultNoParamNames;
  int count = 0;
  if (const int result = CountParamNames(entry_text, separator, &count); result != ResultOk) {
    return result;
  }
  if (count != type_count) return ResultBadArgCount;

  auto built = std::make_unique<ParamInfo>();
  const std::size_t length = std::strlen(entry_text);
  built->private_copy = std::make_unique<char[]>(length + 1);
  std::memcpy(built->private_copy.get(), entry_text, length + 1);
  if (const int result = CutNamesAndDefaults(*built); result != ResultOk) return result;
  if (built->names.size() != static_cast<std::size_t>(type_count)) return ResultBadArgCount;
  ConvertDefaults(*built, types);
  *info = std::move(built);
  return ResultOk;
}

int BindArguments(const unsigned char* types, char* argument_text, char separator,
                  std::uint32_t raw_count, ArgumentList* arguments) {
  if (argument_text == nullptr) return types[0] == ArgNone ? ResultOk : ResultBadArgCount;
  if (types[0] == ArgNone) return ResultBadArgCount;
  char* cursor = argument_text;
  std::size_t i = 0;
  for (; types[i] != ArgEnd; ++i) {
    if (types[i] == ArgNone) return ResultBadArgument;
    if (types[i] == ArgRaw) {
      if (i != 0) return ResultBadArgument;
      ArgValue raw;
      raw.text = argument_text;
      raw.raw_count = raw_count;
      arguments->push_back(raw);
      return ResultOk;
    }
    char* token = NextToken(&cursor, separator);
    if (token == nullptr) break;
    arguments->push_back(ConvertArgument(types[i], token));
  }
  if (types[i] != ArgEnd) return ResultBadArgCount;
  if (!RestIsEmpty(cursor, separator)) return ResultBadArgCount;
  return ResultOk;
}

int BindNamedArguments(const unsigned char* types, char* argument_text, char separator,
                       const ParamInfo& info, ArgumentList* arguments) {
  const std::size_t count = info.names.size();
  ArgumentList working(info.default_values.begin(), info.default_values.end());
  // A set-flag per parameter, on the stack for commands of a usual size.
  std::array<bool, 16> set_on_stack{};
  std::unique_ptr<bool[]> set_on_heap;
  if (count > set_on_stack.size()) set_on_heap = std::make_unique<bool[]>(count);
  bool* const set = set_on_heap ? set_on_heap.get() : set_on_stack.data();
  std::size_t positional = 0;
  int named_required = 0;

  if (argument_text != nullptr) {
    char* cursor = argument_text;
    std::size_t i = 0;
    for (; types[i] != ArgEnd && types[i] != ArgNone; ++i) {
      char* token = NextToken(&cursor, separator);
      if (token == nullptr) break;
      if (char* equals = std::strchr(token, '='); equals != nullptr) {
        *equals = '\0';
        char* value = equals + 1;
        std::size_t index = 0;
        while (index < count && !EqualsIgnoringAsciiCase(info.names[index], token)) ++index;
        if (index == count) return ResultBadArgument;
        const bool required = info.default_texts[index] == nullptr;
        if (*value != '\0' || required) working[index] = ConvertArgument(types[index], value);
        if (required) ++named_required;
        if (set[index] || index < positional) return ResultBadArgument;
        set[index] = true;
      } else {
        if (named_required != 0) return ResultBadArgument;
        if (positional >= count) return ResultBadArgCount;
        // The value belongs to parameter `positional`, whose type converts
        // it: after a named argument it is not the parameter of this token's
        // place in the text.
        working[positional] = ConvertArgument(types[positional], token);
        if (set[positional]) return ResultBadArgument;
        set[positional] = true;
        ++positional;
      }
    }
    if ((types[i] == ArgEnd || types[i] == ArgNone) && !RestIsEmpty(cursor, separator)) {
      return ResultBadArgCount;
    }
  }
  if (named_required + static_cast<int>(positional) < info.required_count) {
    return ResultBadArgCount;
  }
  working.CopySharedDefaultTexts(info);
  *arguments = std::move(working);
  return ResultOk;
}

void ArgumentList::CopySharedDefaultTexts(const ParamInfo& info) {
  const auto is_shared = [&](std::size_t i) {
    return i < info.default_values.size() && (*this)[i].text != nullptr &&
           (*this)[i].text == info.default_values[i].text;
  };
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < size(); ++i) {
    if (is_shared(i)) bytes += std::strlen((*this)[i].text) + 1;
  }
  if (bytes == 0) return;
  default_copies_ = std::make_unique_for_overwrite<char[]>(bytes);
  char* next = default_copies_.get();
  for (std::size_t i = 0; i < size(); ++i) {
    if (!is_shared(i)) continue;
    const std::size_t length = std::strlen((*this)[i].text) + 1;
    std::memcpy(next, (*this)[i].text, length);
    (*this)[i].text = next;
    next += length;
  }
}

ArgValue ConvertArgument(unsigned char type, char* text) {
  ArgValue value;
  switch (type) {
    case ArgShort:
      value.short_value = static_cast<std::uint32_t>(ParseLong(text)) & 0xFFFFu;
      break;
    case ArgLong: {
      const long parsed = ParseLong(text);
      value.long_value = static_cast<std::int32_t>(
          parsed > INT32_MAX ? INT32_MAX : (parsed < INT32_MIN ? INT32_MIN : parsed));
      break;
    }
    case ArgFloat: {
      const double parsed = std::strtod(text, nullptr);
      value.float_value = std::fabs(parsed) > FLT_MAX
                              ? static_cast<float>(std::copysign(HUGE_VAL, parsed))
                              : static_cast<float>(parsed);
      break;
    }
    case ArgDouble:
      value.double_value = std::strtod(text, nullptr);
      break;
    case ArgText:
      value.text = UrlDecode(text);
      break;
    default:
      break;
  }
  return value;
}

}  // namespace gateway
