#include "wardline_log.h"

// Debug lines are off unless asked for (QT_LOGGING_RULES="tavex.wardline.debug=true").
Q_LOGGING_CATEGORY(lcWardline, "tavex.wardline", QtInfoMsg)
