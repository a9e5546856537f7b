// The module's three exported entry points and its one extension object,
// constructed when the module loads and destroyed when it unloads. No
// exception crosses an entry point.
#include "dudarovuvadu/httpext.h"
#include "gateway/web_extension.h"
#include "portal/portal_extension.h"

// On Windows the .def file names the exports.
#define DUDAROVUVADU_EXPORT __attribute__((visibility("default")))

namespace {

portal::PortalExtension g_portal_extension;

}  // namespace

extern "C" DUDAROVUVADU_EXPORT BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* version) {
  gateway::WebExtension* extension = gateway::WebExtension::Current();
  if (extension == nullptr) return FALSE;
  try {
    return extension->GetVersion(version) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

extern "C" DUDAROVUVADU_EXPORT DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* request) {
  if (request == nullptr) return HSE_STATUS_ERROR;
  gateway::WebExtension* extension = gateway::WebExtension::Current();
  if (extension == nullptr) {
    request->dwHttpStatusCode = 500;
    return HSE_STATUS_ERROR;
  }
  try {
    return extension->HandleRequest(request);
  } catch (...) {
    request->dwHttpStatusCode = 500;
    return HSE_STATUS_ERROR;
  }
}

extern "C" DUDAROVUVADU_EXPORT BOOL WINAPI TerminateExtension(DWORD flags) {
  gateway::WebExtension* extension = gateway::WebExtension::Current();
  if (extension == nullptr) return TRUE;
  try {
    return extension->Terminate(flags) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}
