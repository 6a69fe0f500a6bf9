#include "procDefDocument.h"
