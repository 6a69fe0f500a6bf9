#include "keepyard_log.h"

Q_LOGGING_CATEGORY(lcKeepyard, "tavex.keepyard")
