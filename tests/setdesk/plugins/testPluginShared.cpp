// Shares the category A with the first library; a debug build.
#include "testEditor.h"

extern "C" SETDESK_PLUGIN_ENTRY config_plugin_desc *load_tavex_config_plugin_desc()
{
    return new testDescription({QStringLiteral("A/C"), QStringLiteral("Solo")});
}

extern "C" SETDESK_PLUGIN_ENTRY bool tavex_config_plugin_debug()
{
    return true;
}
