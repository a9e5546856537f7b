// The control block's texts of one request, in one buffer.
#include "hosts/extension/request_texts.h"

namespace hosts {

RequestTexts::RequestTexts(const Values& values) {
  const std::array<std::string_view, kParts> texts = {values.method, values.query, values.path_info,
                                                      values.path_translated, values.content_type};
  std::size_t size = 0;
  for (std::string_view text : texts) size += text.size() + 1;
  buffer_.reserve(size);
  for (std::size_t part = 0; part < kParts; ++part) {
    starts_[part] = buffer_.size();
    buffer_.append(texts[part]);
    buffer_.push_back('\0');
  }
  starts_[kParts] = buffer_.size();
}

}  // namespace hosts
