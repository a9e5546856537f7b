// The portal's extension object, its command map and the Default command.
#include "portal/portal_extension.h"

#include <algorithm>
#include <cstring>

#include "commands/portal_commands.h"
#include "gateway/html_escape.h"
#include "platform/string_resources.h"
#include "spool/counter_folder_check.h"
#include "spool/install_root.h"
#include "spool/text_file_cache.h"
#include "spool/trace.h"

namespace portal {

using gateway::ArgumentList;
using gateway::CommandEntry;
using gateway::RequestContext;
using gateway::WebExtension;

namespace {

// Each handler unpacks the converted values the map hands it, in the order
// of its type codes.
void CallDefault(WebExtension& extension, RequestContext& context, const ArgumentList&) {
  static_cast<PortalExtension&>(extension).Default(context);
}

void CallStoreData(WebExtension& extension, RequestContext& context, const ArgumentList& args) {
  commands::StoreData(extension, context, args.at(0).text, args.at(0).raw_count);
}

void CallPostCommand(WebExtension& extension, RequestContext& context, const ArgumentList& args) {
  // A form's trailing blanks and line ends are no part of it: the body
  // without what the request cycle trims.
  commands::PostCommand(extension, context, args.at(0).text, args.at(0).trimmed_count);
}

void CallDoKommand(WebExtension& extension, RequestContext& context, const ArgumentList& args) {
  commands::DoKommand(extension, context, args.at(0).text, args.at(1).text, args.at(2).text,
                      args.at(3).text, args.at(4).text);
}

void CallDoCommand(WebExtension& extension, RequestContext& context, const ArgumentList& args) {
  commands::DoCommand(extension, context, args.at(0).text, args.at(1).text, args.at(2).text,
                      args.at(3).text, args.at(4).text, args.at(5).text);
}

// The portal's commands. A row without argument types is a default marker
// (the first one names the command called when a request names none); a row
// without a handler holds the parameter names and defaults of the command
// above it. Names match ignoring case. Constant-initialised, so it exists
// before the extension object; its cache is released when that object goes.
constinit CommandEntry g_portal_command_map[] = {
    {"Default", &CallDefault, nullptr},
    {"Default", &CallDefault, "\x06"},                          // no argument
    {"StoreData", &CallStoreData, nullptr},                     //
    {"StoreData", &CallStoreData, "\x07"},                      // raw body
    {"PostCommand", &CallPostCommand, nullptr},                 //
    {"PostCommand", &CallPostCommand, "\x07"},                  // raw body
    {"DoKommand", &CallDoKommand, "\x05\x05\x05\x05\x05"},      // five texts
    {nullptr, nullptr, "Logon= Command= P1= P2= P3="},          //
    {"DoCommand", &CallDoCommand, "\x05\x05\x05\x05\x05\x05"},  // six texts
    {nullptr, nullptr, "Logon= Command= P1= P2= P3= Token="},   //
};

}  // namespace

PortalExtension::PortalExtension() : WebExtension('&') {
  MakeCurrent();
  spool::StartTextFileCache();
  spool::RunLoadSequence();
}

PortalExtension::~PortalExtension() {
  spool::RunUnloadSequence();
  spool::ReleaseTextFileCache();
  gateway::ReleaseParamInfoCache(g_portal_command_map);
}

bool PortalExtension::Terminate(std::uint32_t) { return true; }

bool PortalExtension::GetVersion(HSE_VERSION_INFO* version) {
  // Counters read stale would hand out tickets other front ends drew: the
  // module does not start on such a spool (the check says why).
  if (!spool::CounterFolderFitForTickets(spool::ResolveRequestRoot())) return false;
  if (!WebExtension::GetVersion(version)) return false;
  const char* description = platform::LoadStringResource(platform::kExtensionDescriptionId);
  if (description != nullptr) {
    const std::size_t length =
        std::min<std::size_t>(std::strlen(description), sizeof version->lpszExtensionDesc - 1);
    std::memcpy(version->lpszExtensionDesc, description, length);
    version->lpszExtensionDesc[length] = '\0';
  }
  return true;
}

std::span<CommandEntry> PortalExtension::GetCommandMap() { return g_portal_command_map; }

void PortalExtension::Default(RequestContext& context) {
  // A script name that does not fit its 250-byte buffer shows as "".
  const std::string script_name = context.ServerVariable("SCRIPT_NAME", 250);
  StartPage(context);
  WritePageTitle(context);
  WriteText(context, "\r\n");
  WriteText(context, "<p>ScriptName='");
  WriteText(context, gateway::EscapeHtml(script_name));
  WriteText(context, "'</p>\r\n");
  WriteText(context, "<p><b>Param&egrave;tres invalides (nom de commande absent)</b></p>\r\n");
  EndPage(context);
}

}  // namespace portal
