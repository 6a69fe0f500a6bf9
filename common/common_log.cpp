#include "common_log.h"

// Debug lines are off unless asked for (QT_LOGGING_RULES="tavex.common.debug=true").
Q_LOGGING_CATEGORY(lcCommon, "tavex.common", QtInfoMsg)
