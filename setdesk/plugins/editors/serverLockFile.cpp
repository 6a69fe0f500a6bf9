#include "serverLockFile.h"
