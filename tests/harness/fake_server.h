// An in-process web server for tests: it plays the host's side of the
// extension interface, runs one request through HttpExtensionProc (or any
// entry point given) and records everything the module sent.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dudarovuvadu/httpext.h"

namespace harness {

struct Request {
  std::string method = "GET";
  std::string query;  // the raw query string, after the first "?"
  std::string path_info;
  std::string body;
  // Declared body length; defaults to body.size(). HSE_BODY_LENGTH_UNKNOWN
  // marks a body too large to count.
  std::optional<std::uint32_t> declared_length;
  // Bytes of the body offered up front; the rest is read through ReadClient.
  // Defaults to the whole body.
  std::optional<std::uint32_t> available;
  // Largest piece one ReadClient call hands over (0: no limit).
  std::uint32_t read_chunk = 0;
  // Server variables by name. Names not listed are unknown to the server.
  std::map<std::string, std::string> server_variables = DefaultServerVariables();

  static std::map<std::string, std::string> DefaultServerVariables();
};

// Faults the server can play.
struct Faults {
  // Last error left by a failing header send (0: the send succeeds).
  int header_send_error = 0;
  // 1-based number of the WriteClient call that fails (0: none fails).
  int fail_write_number = 0;
  // 1-based number of the ReadClient call that fails (0: none fails).
  int fail_read_number = 0;
  // 1-based number of the ReadClient call that reports 0 bytes, as a client
  // that went away mid-body (0: never).
  int end_read_number = 0;
  // Called after each WriteClient call that succeeded, with its 1-based
  // number: a test changes the world between two writes (a file shrinks).
  std::function<void(int)> after_write;

  // Whether the server offers writes that complete later (HSE_IO_ASYNC),
  // and where it runs their completions. A failing write number then
  // completes with an error (the client has gone) and 0 bytes.
  enum class AsyncWrites {
    kRefused,            // HSE_REQ_IO_COMPLETION answers FALSE, as Apache httpd
    kAfterReturn,        // on the test's thread, once HttpExtensionProc returned
    kOnAnotherThread,    // at once on the server's own thread, maybe before
                         // WriteClient has returned
    kInsideWriteClient,  // inside WriteClient, on the caller's thread
  };
  AsyncWrites async_writes = AsyncWrites::kRefused;
};

struct Response {
  std::uint32_t result = 0;                     // what HttpExtensionProc returned
  std::uint32_t recorded_status = 0;            // dwHttpStatusCode after the call
  bool header_sent = false;                     // HSE_REQ_SEND_RESPONSE_HEADER was called
  std::string status_line;                      // its status line text
  std::optional<std::string> header_text;       // its header text, if any was given
  std::vector<std::string> writes;              // every WriteClient call's bytes, in order
  int read_calls = 0;                           // ReadClient calls made
  int server_variable_calls = 0;                // GetServerVariable calls made
  int io_completion_requests = 0;               // HSE_REQ_IO_COMPLETION calls
  int async_writes = 0;                         // WriteClient calls with HSE_IO_ASYNC
  int overlapping_async_writes = 0;             // ... made while one was outstanding
  int deepest_async_nesting = 0;                // most WriteClient calls on one stack
  int done_with_session_calls = 0;              // HSE_REQ_DONE_WITH_SESSION calls
  std::optional<std::uint32_t> session_status;  // the status the first one gave

  // Everything written after the "\r\n" that ends the headers.
  std::string body() const;
  // All writes joined.
  std::string written() const;
};

// Runs one request through any entry point of HttpExtensionProc's shape
// (a loaded module's): library dudarovuvadu_fake_server.
Response Run(PFN_HTTPEXTENSIONPROC entry_point, const Request& request, const Faults& faults = {});

// Runs one request through the HttpExtensionProc of the module linked into
// the test: library dudarovuvadu_test_harness.
Response Run(const Request& request, const Faults& faults = {});

// Shorthands for the common cases, through the linked module.
Response Get(const std::string& query);
Response Post(const std::string& query, const std::string& body);

}  // namespace harness
