#include "codeEditor.h"
