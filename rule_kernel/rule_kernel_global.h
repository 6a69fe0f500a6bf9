#pragma once

#if defined(RULE_KERNEL_BUILD)
#define RULE_KERNEL_EXPORT __attribute__((visibility("default")))
#else
#define RULE_KERNEL_EXPORT
#endif
