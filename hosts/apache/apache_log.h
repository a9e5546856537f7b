// Binds the Apache httpd log calls of a file to this module, so that
// "LogLevel dudarovuvadu:debug" and the module's name in each line work.
// Include it in every file that logs, after the httpd headers.
#pragma once

#include "http_config.h"
#include "http_log.h"

extern "C" {
// The module record, defined in mod_dudarovuvadu.cc; C linkage, as httpd
// looks it up by this name.
APLOG_USE_MODULE(dudarovuvadu);
}
