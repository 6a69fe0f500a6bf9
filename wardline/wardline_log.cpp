#include "wardline_log.h"

Q_LOGGING_CATEGORY(lcWardline, "tavex.wardline")
