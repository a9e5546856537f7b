// WebExtension: the generic extension object behind the entry points. It owns
// the request cycle (HandleRequest), the dispatch through a command map
// (CallCommand) and the page operations handlers build responses with. It
// knows nothing of the portal; a subclass supplies the map and handlers.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "dudarovuvadu/httpext.h"
#include "gateway/command_map.h"
#include "gateway/file_pieces.h"
#include "gateway/html_stream.h"
#include "gateway/request_context.h"

namespace gateway {

class WebExtension {
 public:
  explicit WebExtension(char separator);
  // Clears the current extension if it is this one.
  virtual ~WebExtension();
  WebExtension(const WebExtension&) = delete;
  WebExtension& operator=(const WebExtension&) = delete;

  // The one extension the entry points forward to, or null.
  static WebExtension* Current();

  virtual int CallCommand(RequestContext& context, char* request_text, char* command_text);
  virtual bool OnCallError(RequestContext& context, int result_code);
  virtual bool WriteBody(RequestContext& context, const void* bytes, std::uint32_t count,
                         std::uint32_t reserved);
  virtual void EndPage(RequestContext& context);
  virtual void StartPage(RequestContext& context);
  virtual void WritePageTitle(RequestContext& context);
  virtual const char* GetTitle() const;
  virtual bool Terminate(std::uint32_t flags);
  virtual std::uint32_t HandleRequest(EXTENSION_CONTROL_BLOCK* request);
  virtual bool GetVersion(HSE_VERSION_INFO* version);
  virtual std::unique_ptr<HtmlStream> CreateStream();
  virtual bool PrepareRequest(RequestContext& context);
  virtual std::span<CommandEntry> GetCommandMap();

  // Writes header lines ("Name: value\r\n" each) to the response and moves
  // the end-of-headers mark behind them. Add every header before the first
  // body byte: everything written before the last call is header block.
  void AddHeaderLine(RequestContext& context, std::string_view header_text);

  // Writes text to the response body (nothing without a stream).
  void WriteText(RequestContext& context, std::string_view text);

  // Largest piece of a file part handed to WriteBody at once.
  static constexpr std::uint32_t kFileBodyPiece = FilePieces::kMaxPiece;

  // Sends the context's file part, if any, through WriteBody in pieces of at
  // most kFileBodyPiece bytes read at their offsets (encoded piece by piece
  // when the part has an encoding), then closes the file. False, with
  // nothing more sent, when a write fails or a raw part's file ends before
  // the part does (its length is already announced).
  bool SendFileBody(RequestContext& context);

  // Sends the body that follows the header block: the stream's `count` body
  // bytes through one WriteBody (left out when empty and a file part
  // follows), then the file part. False when a write or the file part fails.
  bool SendBody(RequestContext& context, const unsigned char* bytes, std::uint32_t count);

  char separator() const { return separator_; }

  int CallHandler(RequestContext& context, CommandEntry& entry, CommandEntry* parameters,
                  char* argument_text);

 protected:
  // Makes this object the one the entry points forward to. The module's
  // extension object does so when it is constructed.
  void MakeCurrent();

 private:
  char separator_;
};

}  // namespace gateway
