// mod_dudarovuvadu: runs the extension module inside Apache httpd 2.4.
// Every server process loads the extension named by DudarovuvaduExtension
// once, when it starts (child_init), and unloads it when its pool goes; the
// "dudarovuvadu" handler hands each request to it through a control block.
// The directive table's typed initialisers (.take1 = ...), which C++20 has.
#define AP_HAVE_DESIGNATED_INITIALIZER
#include <unistd.h>

#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "apr_strings.h"
#include "hosts/apache/apache_request.h"
#include "hosts/extension/dynamic_library.h"
#include "hosts/extension/extension_module.h"
#include "http_config.h"
#include "http_core.h"
#include "http_protocol.h"
#include "http_request.h"
#include "httpd.h"
// clang-format off
#include "hosts/apache/apache_log.h"
// clang-format on

namespace {

constexpr char kHandlerName[] = "dudarovuvadu";

struct ServerConfig {
  const char* extension_path;  // DudarovuvaduExtension, or null
};

// The one piece of process state: the extension this server process loaded
// in child_init, or null when it could not be loaded. Set before the process
// takes requests and reset by the child pool's cleanup after the last one.
std::unique_ptr<hosts::ExtensionModule> g_extension;

const ServerConfig* ConfigOf(const server_rec* server) {
  return static_cast<const ServerConfig*>(
      ap_get_module_config(server->module_config, &dudarovuvadu_module));
}

void* CreateServerConfig(apr_pool_t* pool, server_rec*) {
  return apr_pcalloc(pool, sizeof(ServerConfig));
}

void* MergeServerConfig(apr_pool_t* pool, void* base, void* added) {
  auto* merged = static_cast<ServerConfig*>(apr_pcalloc(pool, sizeof(ServerConfig)));
  const auto* outer = static_cast<const ServerConfig*>(base);
  const auto* inner = static_cast<const ServerConfig*>(added);
  merged->extension_path =
      inner->extension_path != nullptr ? inner->extension_path : outer->extension_path;
  return merged;
}

const char* SetExtension(cmd_parms* cmd, void*, const char* path) {
  // One extension per process: it belongs to the server, not to a host.
  if (const char* error = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return error;
  auto* config = static_cast<ServerConfig*>(
      ap_get_module_config(cmd->server->module_config, &dudarovuvadu_module));
  config->extension_path = ap_server_root_relative(cmd->pool, path);
  if (config->extension_path == nullptr) {
    return apr_pstrcat(cmd->pool, "DudarovuvaduExtension: invalid path ", path, nullptr);
  }
  return nullptr;
}

// Checks in the parent, before any child starts, that the extension can be
// opened and has its entry points, so a wrong path stops the server at
// start-up instead of failing every request. Nothing of the extension runs
// here: it starts in each child, as the user the children run as.
int CheckExtension(apr_pool_t*, apr_pool_t*, apr_pool_t*, server_rec* server) {
  const ServerConfig* config = ConfigOf(server);
  if (config->extension_path == nullptr) {
    ap_log_error(APLOG_MARK, APLOG_EMERG, 0, server,
                 "mod_dudarovuvadu is loaded but DudarovuvaduExtension names no extension");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  const char* path = config->extension_path;
  std::string reason;
  const hosts::LibraryHandle handle = hosts::OpenLibrary(path, &reason);
  if (handle == nullptr) {
    ap_log_error(APLOG_MARK, APLOG_EMERG, 0, server,
                 "DudarovuvaduExtension %s cannot be loaded: %s", path, reason.c_str());
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  const char* missing = nullptr;
  for (const char* entry : {"GetExtensionVersion", "HttpExtensionProc", "TerminateExtension"}) {
    if (missing == nullptr && hosts::LibraryFunction(handle, entry) == nullptr) missing = entry;
  }
  hosts::CloseLibrary(handle);
  if (missing != nullptr) {
    ap_log_error(APLOG_MARK, APLOG_EMERG, 0, server,
                 "DudarovuvaduExtension %s is not an extension module (no %s)", path, missing);
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  return OK;
}

// TerminateExtension and unload, when the child's pool is destroyed: after
// its last request, on graceful restart and stop alike.
apr_status_t UnloadExtension(void* data) {
  auto* server = static_cast<server_rec*>(data);
  if (g_extension == nullptr) return APR_SUCCESS;
  const std::string path = g_extension->path();
  const bool terminated = g_extension->Unload();
  g_extension.reset();
  ap_log_error(APLOG_MARK, terminated ? APLOG_NOTICE : APLOG_WARNING, 0, server,
               "extension %s unloaded from process %ld%s", path.c_str(),
               static_cast<long>(getpid()),
               terminated ? "" : " (TerminateExtension reported a failure)");
  return APR_SUCCESS;
}

void LoadExtension(apr_pool_t* child_pool, server_rec* server) {
  const ServerConfig* config = ConfigOf(server);
  if (config->extension_path == nullptr) return;
  std::string error;
  try {
    g_extension = hosts::ExtensionModule::Load(config->extension_path, &error);
  } catch (const std::exception& failure) {
    error = failure.what();
  }
  if (g_extension == nullptr) {
    ap_log_error(APLOG_MARK, APLOG_ERR, 0, server,
                 "extension %s did not load in process %ld: %s; its requests are answered 503",
                 config->extension_path, static_cast<long>(getpid()), error.c_str());
    return;
  }
  ap_log_error(APLOG_MARK, APLOG_NOTICE, 0, server, "extension %s %s loaded in process %ld: %s",
               config->extension_path, g_extension->VersionText().c_str(),
               static_cast<long>(getpid()), g_extension->description().c_str());
  apr_pool_cleanup_register(child_pool, server, UnloadExtension, apr_pool_cleanup_null);
}

// The URL path the handler serves. Under <Location "/path"> that is the
// section's path; a longer URL below it ("/path/more") is no request for the
// extension. Elsewhere (a regex or directory section) the request's path.
std::optional<std::string> ScriptName(request_rec* r) {
  const std::string_view uri = r->uri != nullptr ? r->uri : "";
  const auto* core =
      static_cast<const core_dir_config*>(ap_get_core_module_config(r->per_dir_config));
  const std::string_view section = core != nullptr && core->d != nullptr && core->r == nullptr
                                       ? std::string_view(core->d)
                                       : std::string_view();
  if (section.empty() || section.back() == '/' || !uri.starts_with(section)) {
    return std::string(uri);
  }
  if (uri.size() > section.size()) return std::nullopt;
  return std::string(section);
}

int HandleRequest(request_rec* r) {
  if (r->handler == nullptr || std::strcmp(r->handler, kHandlerName) != 0) return DECLINED;
  try {
    const std::optional<std::string> script_name = ScriptName(r);
    if (!script_name) return HTTP_NOT_FOUND;
    if (g_extension == nullptr) {
      ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r,
                    "no extension is loaded in this process (see its start-up message)");
      return HTTP_SERVICE_UNAVAILABLE;
    }
    hosts::apache::ApacheRequest request(r, *script_name);
    if (const int status = request.Prepare(); status != OK) return status;
    return request.Run(g_extension->http_extension_proc());
  } catch (const std::exception& failure) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "request failed: %s", failure.what());
  } catch (...) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "request failed");
  }
  return HTTP_INTERNAL_SERVER_ERROR;
}

void RegisterHooks(apr_pool_t*) {
  ap_hook_post_config(CheckExtension, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_child_init(LoadExtension, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_handler(HandleRequest, nullptr, nullptr, APR_HOOK_MIDDLE);
}

const command_rec kCommands[] = {
    AP_INIT_TAKE1("DudarovuvaduExtension", SetExtension, nullptr, RSRC_CONF,
                  "the extension module (dudarovuvadu.so) every server process loads"),
    {},
};

}  // namespace

extern "C" {
__attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA dudarovuvadu_module = {
    STANDARD20_MODULE_STUFF,
    nullptr,             // per-directory config: none
    nullptr,             // merge per-directory config
    CreateServerConfig,  // per-server config
    MergeServerConfig,   // merge per-server config
    kCommands,           // directives
    RegisterHooks,       // hooks
    AP_MODULE_FLAG_NONE,
};
}
