// The loadable module is the portal library linked whole; the entry points
// it exports live in entry_points.cc. This file only gives the target a
// source of its own.
#include "dudarovuvadu/httpext.h"
