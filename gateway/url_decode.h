// Decoding of URL-encoded argument texts, in place.
#pragma once

namespace gateway {

// Decodes `text` in place ("+" to space, "%XX" to its byte; a malformed
// escape becomes "?") and returns it. The output is never longer than the
// input. Null is returned unchanged.
char* UrlDecode(char* text);

}  // namespace gateway
