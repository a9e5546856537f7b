// The decoders of client texts on their own, where a fault shows without the
// rest of a request around it. The first byte picks the decoder; the rest is
// its input.
//   0 URL decoding of an argument text
//   1 the posted-form decoder
//   2 bracket decoding of a file name
//   3 binding an argument text by position to each command's type codes
//   4 binding an argument text by name (DoCommand's and DoKommand's names)
//   5 the number readers: counter text, offset and length of a file part
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "commands/file_names.h"
#include "commands/file_part.h"
#include "gateway/command_map.h"
#include "gateway/url_decode.h"
#include "spool/counters.h"
#include "spool/posted_form.h"

namespace {

// The text as a zero-terminated buffer the decoders may change in place.
std::vector<char> Terminated(std::string_view text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  return buffer;
}

void Check(bool holds) {
  if (!holds) std::abort();
}

// Type codes of the commands in the portal's map.
constexpr const char* kTypeTexts[] = {"\x06", "\x07", "\x05\x05\x05\x05\x05",
                                      "\x05\x05\x05\x05\x05\x05", "\x01\x02\x03\x04\x05"};

void BindByPosition(std::string_view text) {
  for (const char* types : kTypeTexts) {
    std::vector<char> buffer = Terminated(text);
    gateway::ArgumentList arguments;
    (void)gateway::BindArguments(reinterpret_cast<const unsigned char*>(types), buffer.data(), '&',
                                 static_cast<std::uint32_t>(text.size()), &arguments);
    Check(arguments.size() <= std::strlen(types));
  }
}

void BindByName(std::string_view text) {
  for (const char* names : {"Logon= Command= P1= P2= P3=", "Logon= Command= P1= P2= P3= Token="}) {
    const std::string types(std::string_view(names) == "Logon= Command= P1= P2= P3=" ? 5 : 6,
                            '\x05');
    const auto* codes = reinterpret_cast<const unsigned char*>(types.c_str());
    std::unique_ptr<gateway::ParamInfo> info;
    if (gateway::ParseParamNames(names, static_cast<int>(types.size()), codes, '&', &info) !=
        gateway::ResultOk) {
      std::abort();  // the map's own entries always parse
    }
    std::vector<char> buffer = Terminated(text);
    gateway::ArgumentList arguments;
    if (gateway::BindNamedArguments(codes, buffer.data(), '&', *info, &arguments) ==
        gateway::ResultOk) {
      Check(arguments.size() == types.size());
    }
  }
}

void ReadNumbers(std::string_view text) {
  Check(spool::ParseCounterText(text) >= 0);
  const std::size_t half = text.size() / 2;
  const commands::FilePart part = commands::PartFromTexts(text.substr(0, half), text.substr(half));
  for (const std::uint64_t size : {0ULL, 1ULL, 4096ULL, 0xFFFFFFFFULL, 0x100000000ULL}) {
    const commands::FilePart fitted = commands::ClampToFile(part, size);
    Check(std::uint64_t{fitted.offset} + fitted.length <= size || fitted.length == 0);
  }
  (void)commands::LongAtStart(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 6) {
    case 0: {
      std::vector<char> buffer = Terminated(text);
      const std::size_t before = std::strlen(buffer.data());
      Check(gateway::UrlDecode(buffer.data()) == buffer.data());
      Check(std::strlen(buffer.data()) <= before);
      break;
    }
    case 1: {
      const spool::PostedForm form = spool::DecodePostedForm(text);
      for (const std::string* field : {&form.logon, &form.command, &form.p1, &form.p2}) {
        Check(field->size() <= spool::kFormFieldMaxLength);
      }
      Check(form.p3.size() <= spool::kPostedP3Limit);
      break;
    }
    case 2:
      Check(commands::DecodeBracketEscapes(text).size() <= text.size());
      break;
    case 3:
      BindByPosition(text);
      break;
    case 4:
      BindByName(text);
      break;
    default:
      ReadNumbers(text);
      break;
  }
  return 0;
}
