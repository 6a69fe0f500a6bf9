// Several editors in one library, among them one whose key is refused.
#include "testEditor.h"

extern "C" SETDESK_PLUGIN_ENTRY config_plugin_desc *load_tavex_config_plugin_desc()
{
    return new testDescription({QStringLiteral("Home"), QStringLiteral("Cat/Ed"), QStringLiteral("Bad&Key"),
                                QStringLiteral("A/B"), QStringLiteral("Routing"), QStringLiteral("Routing/Panels")});
}

extern "C" SETDESK_PLUGIN_ENTRY bool tavex_config_plugin_debug()
{
    return false;
}
