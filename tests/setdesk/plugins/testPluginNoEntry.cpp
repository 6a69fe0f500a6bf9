// A library without the description entry point: not a plugin.
#include "setdesk_plugin.h"

extern "C" SETDESK_PLUGIN_ENTRY int some_other_entry()
{
    return 1;
}
