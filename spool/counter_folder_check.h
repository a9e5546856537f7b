// Whether the counters can be trusted on the file system that holds them,
// told when the module starts. A GlusterFS client that caches names and
// attributes may read a counter another front end has just replaced as it
// was, and hand out its numbers again; the module refuses to start on one.
#pragma once

#include "spool/install_root.h"

namespace spool {

// Checks the folder of the counter files of `root` (as ResolveRequestRoot
// gives it). False when the module must not start: the folder lies on a
// GlusterFS mount whose client keeps its entry or attribute cache, and the
// operator has not accepted that (platform::kAcceptCachedSpoolVariable).
// Why is traced and written on standard error, naming the folder and the
// mount options that turn the caches off; so is a warning when the operator
// accepted the caches, or when the folder is on GlusterFS but its client's
// options cannot be told. A root that failed to resolve is not checked: its
// requests fail with their own reason.
bool CounterFolderFitForTickets(const InstallRoot& root);

}  // namespace spool
