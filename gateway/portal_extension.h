// PortalExtension: the module's one extension object. It gives the generic
// gateway the portal's command map, title and version, and owns the
// process-wide resources of the spool for the module's lifetime.
#pragma once

#include <cstdint>
#include <span>

#include "gateway/web_extension.h"

namespace gateway {

inline constexpr char kPortalTitle[] = "Portail Quorvel";

class PortalExtension : public WebExtension {
 public:
  // The load sequence: start time, start trace, the two counter locks.
  PortalExtension();
  // The unload sequence: the counter locks go, stop trace.
  ~PortalExtension() override;

  const char* GetTitle() const override { return kPortalTitle; }
  bool Terminate(std::uint32_t flags) override;
  bool GetVersion(HSE_VERSION_INFO* version) override;
  std::span<CommandEntry> GetCommandMap() override;

  // The answer to a request that names no command.
  void Default(RequestContext& context);
};

}  // namespace gateway
