#include "CRuleKernel.h"
