// Requests through the entry point of the module linked into the test: kept
// apart from the fake server, so that a host that loads the built module
// uses the fake server without a second copy of the module inside it.
#include "tests/harness/fake_server.h"

namespace harness {

Response Run(const Request& request, const Faults& faults) {
  return Run(&HttpExtensionProc, request, faults);
}

Response Get(const std::string& query) {
  Request request;
  request.query = query;
  return Run(request);
}

Response Post(const std::string& query, const std::string& body) {
  Request request;
  request.method = "POST";
  request.query = query;
  request.body = body;
  return Run(request);
}

}  // namespace harness
