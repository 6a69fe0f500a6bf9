#include "common_log.h"

Q_LOGGING_CATEGORY(lcCommon, "tavex.common")
