#include "backupIndex.h"
