// The command map: a table naming every command, its handler and the type
// codes of its arguments, with the parameter names and defaults of commands
// that take named arguments; and the parsing that turns an argument text into
// the typed values a handler is called with.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace gateway {

class RequestContext;
class WebExtension;

// Type codes of an argument types text; 0 ends the text.
enum ArgType : unsigned char {
  ArgEnd = 0,
  ArgShort = 1,   // 16-bit integer, passed widened to 32 bits
  ArgLong = 2,    // signed 32-bit integer
  ArgFloat = 3,   // single precision
  ArgDouble = 4,  // double precision
  ArgText = 5,    // URL-decoded text
  ArgNone = 6,    // the command takes no argument
  ArgRaw = 7,     // the argument text as received, and its byte count
};

// Results of CallCommand and CallHandler.
enum ResultCode : int {
  ResultOk = 0,
  ResultBadArgCount = 2,
  ResultUnknownCommand = 3,
  ResultCallFailed = 4,
  ResultNoStream = 5,
  ResultUnbalancedQuote = 6,
  ResultNoParamNames = 7,
  ResultBadArgument = 8,
};

// One converted argument. Only the member that its type code names is set.
struct ArgValue {
  std::uint32_t short_value = 0;  // ArgShort: low 16 bits, widened with zeros
  std::int32_t long_value = 0;    // ArgLong
  float float_value = 0;          // ArgFloat
  double double_value = 0;        // ArgDouble
  char* text = nullptr;           // ArgText; ArgRaw: the raw bytes
  std::uint32_t raw_count = 0;    // ArgRaw: number of bytes
  // ArgRaw: number of bytes without the trailing spaces, CR and LF that the
  // request cycle trims from parsed texts (set by the request cycle).
  std::uint32_t trimmed_count = 0;
};

// Names and defaults of a parameter entry, built once at first use, then
// shared by every request: never written after it is built.
struct ParamInfo {
  std::unique_ptr<char[]> private_copy;  // the entry's text, cut in place
  std::vector<const char*> names;        // into private_copy
  std::vector<char*> default_texts;      // into private_copy; nullptr: required
  std::vector<ArgValue> default_values;  // defaults converted by type code
  int required_count = 0;
};

// The values a handler is called with, in type-code order. A text value is
// the request's own: a piece of its request text, or a copy of a default
// text held by the list, so a handler that cuts or trims a text in place
// changes nothing another request sees.
class ArgumentList : public std::vector<ArgValue> {
 public:
  using std::vector<ArgValue>::vector;

  // Gives every text value that is one of `info`'s shared default texts a
  // copy of its own, made in one block that the list holds.
  void CopySharedDefaultTexts(const ParamInfo& info);

 private:
  std::unique_ptr<char[]> default_copies_;
};

// A handler as the map calls it: the extension, the context and the values in
// type-code order. Each command's handler unpacks them into its own signature.
using Handler = void (*)(WebExtension& extension, RequestContext& context,
                         const ArgumentList& arguments);

// One row of the map. A command entry has a name, a handler and argument
// types; a default marker has a name and a handler but no argument types; a
// parameter entry has neither name nor handler, and `arg_types` holds the
// names-and-defaults text of the command entry right before it.
struct CommandEntry {
  const char* name;
  Handler handler;
  const char* arg_types;
  // Parameter entries: the parsed names and defaults, built at first use
  // and published once (CachedParamInfo), then only read, without a lock;
  // freed by ReleaseParamInfoCache when the module unloads. An atomic
  // pointer keeps the map constant-initialisable.
  std::atomic<const ParamInfo*> param_info{nullptr};
};

struct CommandLookUp {
  CommandEntry* command = nullptr;
  CommandEntry* parameters = nullptr;  // the parameter entry after it, if any
};

// `name` and `handler` may each be null; see LookUpCommand in command_map.cc.
CommandLookUp LookUpCommand(std::span<CommandEntry> map, const char* name, Handler handler);
// The command entry named `name` (ignoring case), with its parameter entry.
CommandLookUp LookUpCommand(std::span<CommandEntry> map, std::string_view name);

// Frees every cached parameter info of the map (at module unload, when no
// request runs any more).
void ReleaseParamInfoCache(std::span<CommandEntry> map);

// The parameter info of `parameters`, the parameter entry of the command
// with `types`: built from the entry's text at first use and published with
// one atomic compare-and-swap, so threads that build it at the same moment
// agree on one copy (the others are freed) and later calls only read it.
// ResultOk with *info set, or the parse's error (nothing is cached then).
int CachedParamInfo(CommandEntry& parameters, const unsigned char* types, char separator,
                    const ParamInfo** info);

// Counts the names of a names-and-defaults text. Returns ResultOk,
// ResultUnbalancedQuote or ResultNoParamNames.
int CountParamNames(const char* text, char separator, int* count);

// Builds the parameter info of a parameter entry for a command with
// `type_count` type codes `types`.
int ParseParamNames(const char* entry_text, int type_count, const unsigned char* types,
                    char separator, std::unique_ptr<ParamInfo>* info);

// Binds an argument text (which may be null) to the types of a command
// without a parameter entry. `raw_count` is the byte count an ArgRaw argument
// receives.
int BindArguments(const unsigned char* types, char* argument_text, char separator,
                  std::uint32_t raw_count, ArgumentList* arguments);

// Binds an argument text (which may be null) by position or by name.
int BindNamedArguments(const unsigned char* types, char* argument_text, char separator,
                       const ParamInfo& info, ArgumentList* arguments);

// Converts `text` by `type`. ArgText decodes the text in place.
ArgValue ConvertArgument(unsigned char type, char* text);

}  // namespace gateway
