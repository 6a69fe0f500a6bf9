#include "keepyard_log.h"

// Debug lines are off unless asked for (QT_LOGGING_RULES="tavex.keepyard.debug=true").
Q_LOGGING_CATEGORY(lcKeepyard, "tavex.keepyard", QtInfoMsg)
