// The framing of an extension's response, shared by every host; see
// response_framer.h for what a host's transport is handed.
#include "hosts/extension/response_framer.h"

#include <algorithm>

#include "hosts/extension/response_decision.h"

namespace hosts {

namespace {

// The reason phrase after the code, when every byte of it may go on the
// wire: visible characters, blanks and ISO-8859-1 letters, no control byte.
std::string_view ReasonPhrase(std::string_view status_line) {
  const std::string_view reason =
      status_line.size() > 4 ? status_line.substr(4) : std::string_view();
  for (char c : reason) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte != '\t' && (byte < 0x20 || byte == 0x7F)) return {};
  }
  return reason;
}

// The split of a response still being written: only whole lines can be
// header lines, so a line that has no end yet starts the body.
SplitResponse SplitGrowing(std::string_view held) {
  if (const std::optional<HeaderBlockEnd> end = FindHeaderBlockEnd(held)) {
    SplitResponse split = SplitResponseStream(held.substr(0, end->body_offset));
    split.body_offset = end->body_offset;
    return split;
  }
  const std::size_t last_line_end = held.rfind('\n');
  const std::size_t whole_lines = last_line_end == std::string_view::npos ? 0 : last_line_end + 1;
  return SplitResponseStream(held.substr(0, whole_lines));
}

}  // namespace

bool ResponseFramer::PutHeader(std::string_view status_line, const char* header_text) {
  if (header_sent_ || started_) return false;
  header_sent_ = true;
  status_line_.assign(status_line);
  if (header_text != nullptr) held_.insert(0, header_text);
  return true;
}

bool ResponseFramer::Write(std::string_view bytes) {
  if (client_gone_) return false;
  if (started_) {
    const std::string_view within = WithinLength(bytes);
    if (within.empty()) return true;
    if (!transport_.SendBody(within)) client_gone_ = true;
    return !client_gone_;
  }
  // Held while the header block may still grow or the answer may still end
  // within the hold limit. Bytes that pass it once the header block is
  // known go out from the extension's own buffer, uncopied.
  if (const std::optional<HeaderBlockEnd> end = FindHeaderBlockEnd(held_);
      end && held_.size() - end->body_offset + bytes.size() > hold_limit_) {
    return Start(false, false) && Write(bytes);
  }
  held_.append(bytes);
  const std::optional<HeaderBlockEnd> end = FindHeaderBlockEnd(held_);
  const std::size_t header_bytes = end ? end->body_offset : 0;
  if (held_.size() - header_bytes <= hold_limit_) return true;
  return Start(false, false);
}

bool ResponseFramer::WriteAsync(std::string_view bytes, ResponseTransport::Sent sent) {
  if (client_gone_ || !transport_.CanSendAsync()) return false;
  if (!started_) {
    // The bytes that end the header block (the "\r\n" after the header
    // call's text, most often) are taken into it; the response starts
    // with the rest.
    constexpr std::size_t kHeaderProbe = 16 * 1024;
    std::string probe = held_;
    probe.append(bytes.substr(0, kHeaderProbe));
    if (const std::optional<HeaderBlockEnd> end = FindHeaderBlockEnd(probe);
        end && end->body_offset > held_.size()) {
      const std::size_t taken = end->body_offset - held_.size();
      held_.append(bytes.substr(0, taken));
      bytes.remove_prefix(taken);
    }
    if (!Start(false, false)) return false;
  }
  // Even an empty rest is sent, so that the write completes as any other.
  return transport_.SendBodyAsync(WithinLength(bytes), std::move(sent));
}

void ResponseFramer::Finish(bool failed) {
  if (!started_ && !client_gone_) (void)Start(true, failed);
  const bool framed = !overrun_ && (!declared_length_ || body_bytes_ == *declared_length_);
  transport_.End(!client_gone_ && !failed && framed);
}

unsigned ResponseFramer::StatusFor(bool failed) const {
  const std::optional<unsigned> code =
      header_sent_ ? ParseStatusCode(status_line_) : std::optional<unsigned>();
  return DecideStatus(code, header_sent_, held_.empty(), failed, *recorded_status_);
}

bool ResponseFramer::Start(bool whole, bool failed) {
  started_ = true;
  const std::string_view held = held_;
  const SplitResponse split = whole ? SplitResponseStream(held) : SplitGrowing(held);
  const std::string_view body = held.substr(split.body_offset);
  if (const std::optional<HeaderBlockEnd> end = FindHeaderBlockEnd(held)) {
    header_block_cut_ = !end->ended_by_empty_line;
  }
  ResponseHead head;
  head.status = status_ = StatusFor(failed);
  const bool own_reason = header_sent_ && ParseStatusCode(status_line_);
  head.reason = DecideReason(head.status, own_reason ? ReasonPhrase(status_line_) : "");
  head.headers.reserve(split.headers.size());
  for (const ResponseHeader& header : split.headers) {
    if (!HostDecidesHeader(header.name)) head.headers.push_back(header);
  }
  if (whole) {
    length_mismatch_ = split.content_length_mismatch && !split.declared_length_text.empty();
    head.content_length = body.size();
  } else {
    declared_length_ = split.declared_length;
    head.content_length = declared_length_;
  }
  bool sent = transport_.SendHead(head);
  const std::string_view within = WithinLength(body);
  if (sent && !within.empty()) sent = transport_.SendBody(within);
  std::string().swap(held_);
  client_gone_ = !sent;
  return sent;
}

std::string_view ResponseFramer::WithinLength(std::string_view bytes) {
  std::size_t size = bytes.size();
  if (declared_length_) {
    const std::uint64_t room = *declared_length_ - std::min(*declared_length_, body_bytes_);
    if (size > room) {
      // Bytes past the declared length would be read as the next response
      // on a kept connection: dropped, and the connection closed at the end.
      size = static_cast<std::size_t>(room);
      overrun_ = true;
    }
  }
  body_bytes_ += size;
  return bytes.substr(0, size);
}

}  // namespace hosts
