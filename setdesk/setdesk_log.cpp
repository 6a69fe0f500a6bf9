#include "setdesk_log.h"

// Debug lines are off unless asked for (QT_LOGGING_RULES="tavex.setdesk.debug=true").
Q_LOGGING_CATEGORY(lcSetdesk, "tavex.setdesk", QtInfoMsg)
