// One whole request through HttpExtensionProc and the in-memory server, in a
// fresh install root: method, query string, body (offered in pieces, read in
// pieces, cut short or failing), server variables and failing sends.
//
// Input: the method, the query string and a control text, each ended by LF;
// then one line per server variable the control text asks for; then the body.
// Control characters count by their value modulo the choices, so "0" is the
// first choice everywhere:
//   [0] WriteClient call that fails (0 none, 1-3)
//   [1] ReadClient call that fails (0 none, 1-3)
//   [2] ReadClient call that ends the body early (0 none, 1-3)
//   [3] largest piece one ReadClient hands over (0 no limit, 1-7)
//   [4] bytes offered up front: all, none, half, one
//   [5] declared length: the body's, 10 more, half, unknown
//   [6] the header send fails (odd) or not
//   [7..10] REMOTE_ADDR, SERVER_NAME, SERVER_PORT, SCRIPT_NAME: the usual
//           value, unknown to the server, or the next line
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tests/harness/fake_server.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzzing::InputScope scope;

  fuzzing::InputReader input(data, size);
  harness::Request request;
  harness::Faults faults;
  request.method = input.Line();
  request.query = input.Line();
  const std::string control = input.Line() + std::string(11, '0');
  const auto choice = [&control](std::size_t index, unsigned choices) {
    return static_cast<unsigned char>(control[index]) % choices;
  };
  faults.fail_write_number = static_cast<int>(choice(0, 4));
  faults.fail_read_number = static_cast<int>(choice(1, 4));
  faults.end_read_number = static_cast<int>(choice(2, 4));
  request.read_chunk = choice(3, 8);
  faults.header_send_error = choice(6, 2) == 1 ? EPIPE : 0;
  const char* const variables[] = {"REMOTE_ADDR", "SERVER_NAME", "SERVER_PORT", "SCRIPT_NAME"};
  for (std::size_t i = 0; i < 4; ++i) {
    switch (choice(7 + i, 3)) {
      case 1:
        request.server_variables.erase(variables[i]);
        break;
      case 2:
        request.server_variables[variables[i]] = input.Line();
        break;
      default:
        break;
    }
  }
  request.body = input.Rest();

  const auto body_size = static_cast<std::uint32_t>(request.body.size());
  switch (choice(4, 4)) {
    case 1:
      request.available = 0;
      break;
    case 2:
      request.available = body_size / 2;
      break;
    case 3:
      request.available = body_size == 0 ? 0 : 1;
      break;
    default:
      break;
  }
  switch (choice(5, 4)) {
    case 1:
      request.declared_length = body_size + 10;
      break;
    case 2:
      request.declared_length = body_size / 2;
      // The server never offers more than it declared.
      if (request.available.value_or(body_size) > body_size / 2) request.available = body_size / 2;
      break;
    case 3:
      request.declared_length = HSE_BODY_LENGTH_UNKNOWN;
      break;
    default:
      break;
  }

  const harness::Response response = harness::Run(request, faults);
  if (response.result != HSE_STATUS_SUCCESS &&
      response.result != HSE_STATUS_SUCCESS_AND_KEEP_CONN && response.result != HSE_STATUS_ERROR) {
    std::abort();  // no other status is ever right for a synchronous extension
  }
  return 0;
}
