#pragma once

// The entry points of a configuration editor plugin library (a shared object
// in the system's config/plugins folder). A plugin defines them with
// SETDESK_PLUGIN_ENTRY:
//
//   extern "C" SETDESK_PLUGIN_ENTRY config_plugin_desc *load_tavex_config_plugin_desc()
//   { return new myDescription; }
//   extern "C" SETDESK_PLUGIN_ENTRY bool tavex_config_plugin_debug()   // optional
//   { return false; }                                                  // true: a debug build
//
// The host calls load_tavex_config_plugin_desc() whenever it needs the
// description and deletes what it returns. With tavex_config_plugin_debug()
// present, the editor's -DEBUG and -RELEASE options pick libraries by build.

#include "config_plugin_desc.h"

#define SETDESK_PLUGIN_ENTRY Q_DECL_EXPORT

using load_tavex_config_plugin_desc_t = config_plugin_desc *(*)();
using tavex_config_plugin_debug_t = bool (*)();
