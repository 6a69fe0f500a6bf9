#include "configHighlighter.h"
