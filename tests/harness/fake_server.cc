// The fake web server: a control block whose callbacks serve server
// variables from a table, hand out the body in pieces, record what the module
// sends, and fail when a test asks them to.
#include "tests/harness/fake_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/last_error.h"

namespace harness {

namespace {

// A write that completes later: the bytes are taken when it completes, so
// a buffer the module gave up too early is read after its end.
struct PendingWrite {
  const char* bytes;
  DWORD size;
  int number;
};

// What the server keeps of writes that complete later. The module's calls
// and the completions may run on two threads: all of it under `lock`.
struct AsyncState {
  std::mutex lock;
  std::condition_variable changed;
  PFN_HSE_IO_COMPLETION callback = nullptr;
  void* context = nullptr;
  std::deque<PendingWrite> pending;
  bool outstanding = false;
  int nesting = 0;  // WriteClient calls on the stack, for kInsideWriteClient
  bool done = false;
  bool stopping = false;
};

struct Connection {
  const Request* request;
  const Faults* faults;
  Response* response;
  std::uint32_t body_offset;  // next body byte ReadClient hands out
  int write_calls;
  EXTENSION_CONTROL_BLOCK* block = nullptr;
  AsyncState async;
};

Connection* Of(HCONN handle) { return static_cast<Connection*>(handle); }

BOOL WINAPI GetServerVariable(HCONN handle, LPSTR name, LPVOID buffer, LPDWORD size) {
  Connection* connection = Of(handle);
  ++connection->response->server_variable_calls;
  const auto found = connection->request->server_variables.find(name);
  if (found == connection->request->server_variables.end()) {
    platform::testing::SetLastErrorCode(EINVAL);
    return FALSE;
  }
  const std::string& value = found->second;
  const auto needed = static_cast<DWORD>(value.size() + 1);
  if (*size < needed) {
    *size = needed;
    platform::testing::SetLastErrorCode(ENOBUFS);
    return FALSE;
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = needed;
  return TRUE;
}

void CompleteOneWrite(Connection* connection, std::unique_lock<std::mutex>& held);

BOOL StartAsyncWrite(Connection* connection, LPVOID buffer, DWORD size) {
  AsyncState& async = connection->async;
  std::unique_lock<std::mutex> held(async.lock);
  if (async.callback == nullptr) {
    platform::testing::SetLastErrorCode(EINVAL);
    return FALSE;
  }
  Response& response = *connection->response;
  ++response.async_writes;
  if (async.outstanding) ++response.overlapping_async_writes;
  async.outstanding = true;
  async.pending.push_back({static_cast<const char*>(buffer), size, ++connection->write_calls});
  async.changed.notify_all();
  if (connection->faults->async_writes == Faults::AsyncWrites::kInsideWriteClient) {
    ++async.nesting;
    response.deepest_async_nesting = std::max(response.deepest_async_nesting, async.nesting);
    CompleteOneWrite(connection, held);
    --async.nesting;
  }
  return TRUE;
}

// Completes the oldest pending write: records it (or fails it, as asked)
// and calls the module's callback, which may start the next one.
void CompleteOneWrite(Connection* connection, std::unique_lock<std::mutex>& held) {
  AsyncState& async = connection->async;
  const PendingWrite write = async.pending.front();
  async.pending.pop_front();
  async.outstanding = false;
  held.unlock();
  DWORD written = write.size;
  DWORD error = 0;
  if (write.number == connection->faults->fail_write_number) {
    written = 0;
    error = 10054;  // the connection was reset by the client
  } else {
    connection->response->writes.emplace_back(write.bytes, write.size);
    if (connection->faults->after_write) connection->faults->after_write(write.number);
  }
  async.callback(connection->block, async.context, written, error);
  held.lock();
}

// The server's own thread for Faults::AsyncWrites::kOnAnotherThread.
void RunCompletions(Connection* connection) {
  AsyncState& async = connection->async;
  std::unique_lock<std::mutex> held(async.lock);
  for (;;) {
    async.changed.wait(held, [&async] { return !async.pending.empty() || async.stopping; });
    if (async.pending.empty()) return;
    CompleteOneWrite(connection, held);
  }
}

BOOL WINAPI WriteClient(HCONN handle, LPVOID buffer, LPDWORD bytes, DWORD flags) {
  Connection* connection = Of(handle);
  if ((flags & HSE_IO_ASYNC) != 0) return StartAsyncWrite(connection, buffer, *bytes);
  ++connection->write_calls;
  if (connection->write_calls == connection->faults->fail_write_number) {
    platform::testing::SetLastErrorCode(EPIPE);
    return FALSE;
  }
  connection->response->writes.emplace_back(static_cast<const char*>(buffer), *bytes);
  if (connection->faults->after_write) connection->faults->after_write(connection->write_calls);
  return TRUE;
}

BOOL WINAPI ReadClient(HCONN handle, LPVOID buffer, LPDWORD size) {
  Connection* connection = Of(handle);
  const int call = ++connection->response->read_calls;
  if (call == connection->faults->fail_read_number) {
    platform::testing::SetLastErrorCode(EIO);
    return FALSE;
  }
  const std::string& body = connection->request->body;
  if (call == connection->faults->end_read_number || connection->body_offset >= body.size()) {
    *size = 0;
    return TRUE;
  }
  std::uint32_t count = *size;
  const auto left = static_cast<std::uint32_t>(body.size() - connection->body_offset);
  if (count > left) count = left;
  const std::uint32_t chunk = connection->request->read_chunk;
  if (chunk != 0 && count > chunk) count = chunk;
  std::memcpy(buffer, body.data() + connection->body_offset, count);
  connection->body_offset += count;
  *size = count;
  return TRUE;
}

// HSE_REQ_IO_COMPLETION and HSE_REQ_DONE_WITH_SESSION.
BOOL AsyncSupport(Connection* connection, DWORD request, LPVOID buffer, LPDWORD data_type) {
  AsyncState& async = connection->async;
  const std::lock_guard<std::mutex> hold(async.lock);
  Response& response = *connection->response;
  if (request == HSE_REQ_DONE_WITH_SESSION) {
    if (response.done_with_session_calls++ == 0 && buffer != nullptr) {
      response.session_status = *static_cast<const DWORD*>(buffer);
    }
    async.done = true;
    async.changed.notify_all();
    return TRUE;
  }
  ++response.io_completion_requests;
  if (connection->faults->async_writes == Faults::AsyncWrites::kRefused) {
    platform::testing::SetLastErrorCode(EINVAL);
    return FALSE;
  }
  async.callback = reinterpret_cast<PFN_HSE_IO_COMPLETION>(buffer);
  async.context = data_type;
  return TRUE;
}

BOOL WINAPI ServerSupportFunction(HCONN handle, DWORD request, LPVOID buffer, LPDWORD,
                                  LPDWORD data_type) {
  Connection* connection = Of(handle);
  if (request == HSE_REQ_IO_COMPLETION || request == HSE_REQ_DONE_WITH_SESSION) {
    return AsyncSupport(connection, request, buffer, data_type);
  }
  if (request != HSE_REQ_SEND_RESPONSE_HEADER) {
    platform::testing::SetLastErrorCode(EINVAL);
    return FALSE;
  }
  Response& response = *connection->response;
  response.header_sent = true;
  response.status_line = buffer != nullptr ? static_cast<const char*>(buffer) : "";
  if (data_type != nullptr) response.header_text = reinterpret_cast<const char*>(data_type);
  if (connection->faults->header_send_error != 0) {
    platform::testing::SetLastErrorCode(connection->faults->header_send_error);
    return FALSE;
  }
  return TRUE;
}

// Once HttpExtensionProc has returned: runs the completions still to come
// and, for a pending request, waits (at most a minute, a hung module's
// bound) until the module ends it. The control block stays valid until then.
void FinishAsyncWrites(Connection& connection, const Faults& faults, std::uint32_t result,
                       std::thread& completions) {
  AsyncState& async = connection.async;
  std::unique_lock<std::mutex> held(async.lock);
  if (faults.async_writes == Faults::AsyncWrites::kAfterReturn) {
    while (!async.pending.empty()) CompleteOneWrite(&connection, held);
  }
  if (result == HSE_STATUS_PENDING) {
    (void)async.changed.wait_for(held, std::chrono::minutes(1), [&async] { return async.done; });
  }
  async.stopping = true;
  async.changed.notify_all();
  held.unlock();
  if (completions.joinable()) completions.join();
}

}  // namespace

std::map<std::string, std::string> Request::DefaultServerVariables() {
  return {
      {"REMOTE_ADDR", "192.0.2.7"},
      {"SERVER_NAME", "portal.example"},
      {"SERVER_PORT", "8080"},
      {"SCRIPT_NAME", "/scripts/dudarovuvadu.dll"},
  };
}

std::string Response::written() const {
  std::string all;
  for (const std::string& piece : writes) all += piece;
  return all;
}

std::string Response::body() const {
  // The first write is the "\r\n" that ends the headers.
  if (writes.empty()) return {};
  std::string all;
  for (std::size_t i = 1; i < writes.size(); ++i) all += writes[i];
  return all;
}

Response Run(PFN_HTTPEXTENSIONPROC entry_point, const Request& request, const Faults& faults) {
  Response response;
  Connection connection{&request, &faults, &response, 0, 0, nullptr, {}};

  std::string method = request.method;
  std::string query = request.query;
  std::string path_info = request.path_info;
  std::string path_translated;
  std::string content_type = "application/x-www-form-urlencoded";
  const auto body_size = static_cast<std::uint32_t>(request.body.size());
  const std::uint32_t available = request.available.value_or(body_size);
  connection.body_offset = available;

  EXTENSION_CONTROL_BLOCK block{};
  block.cbSize = sizeof block;
  block.dwVersion = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
  block.ConnID = &connection;
  block.lpszMethod = method.data();
  block.lpszQueryString = query.data();
  block.lpszPathInfo = path_info.data();
  block.lpszPathTranslated = path_translated.data();
  block.cbTotalBytes = request.declared_length.value_or(body_size);
  block.cbAvailable = available;
  block.lpbData = reinterpret_cast<LPBYTE>(const_cast<char*>(request.body.data()));
  block.lpszContentType = content_type.data();
  block.GetServerVariable = &GetServerVariable;
  block.WriteClient = &WriteClient;
  block.ReadClient = &ReadClient;
  block.ServerSupportFunction = &ServerSupportFunction;

  connection.block = &block;
  std::thread completions;
  if (faults.async_writes == Faults::AsyncWrites::kOnAnotherThread) {
    completions = std::thread(RunCompletions, &connection);
  }
  response.result = entry_point(&block);
  FinishAsyncWrites(connection, faults, response.result, completions);
  response.recorded_status = block.dwHttpStatusCode;
  return response;
}

}  // namespace harness
