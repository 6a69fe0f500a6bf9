#include "setdesk_log.h"

Q_LOGGING_CATEGORY(lcSetdesk, "tavex.setdesk")
