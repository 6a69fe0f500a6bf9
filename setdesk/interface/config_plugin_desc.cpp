#include "config_plugin_desc.h"

config_plugin_desc::~config_plugin_desc() = default;
