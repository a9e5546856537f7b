// PortalExtension: the module's one extension object. It gives the generic
// gateway the portal's command map, title and version, and owns the
// process-wide resources of the spool for the module's lifetime. The portal
// layer sits on top: it assembles the gateway, the commands and the spool
// into the module, and nothing below it knows of it.
#pragma once

#include <cstdint>
#include <span>

#include "gateway/web_extension.h"

namespace portal {

inline constexpr char kPortalTitle[] = "Portail Quorvel";

class PortalExtension : public gateway::WebExtension {
 public:
  // The load sequence: start time, start trace, the two counter locks.
  PortalExtension();
  // The unload sequence: the counter locks go, stop trace.
  ~PortalExtension() override;

  const char* GetTitle() const override { return kPortalTitle; }
  bool Terminate(std::uint32_t flags) override;
  // Fills the version and description; false, and the module does not
  // start, where the spool's counters could be read stale (see
  // spool/counter_folder_check.h).
  bool GetVersion(HSE_VERSION_INFO* version) override;
  std::span<gateway::CommandEntry> GetCommandMap() override;

  // The answer to a request that names no command.
  void Default(gateway::RequestContext& context);
};

}  // namespace portal
