#pragma once

// Everything a module library needs: the interfaces, and the two entry
// points a library exports with C linkage (one or both):
//
//   extern "C" alarms_input_base *createNewInput(IDebug *debug, IAppendLog *log, int logFlags,
//                                                 DebugIdManager *ids);
//   extern "C" alarms_output_base *createNewOutput(IDebug *debug, IAppendLog *log, int logFlags,
//                                                  DebugIdManager *ids);
//
// The engine owns the objects returned. `debug` writes trace lines (see
// IDebug.h), `log` the instance's message log shown in the engine's module
// list; `logFlags` are the engine's log categories.

#include "DebugIdManager.h"
#include "IAlarmEvents.h"
#include "IAppendLog.h"
#include "IDebug.h"
#include "alarms_input_base.h"
#include "alarms_output_base.h"

#define ALARMS_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

using createNewInputFunction = alarms_input_base *(*)(IDebug *, IAppendLog *, int, DebugIdManager *);
using createNewOutputFunction = alarms_output_base *(*)(IDebug *, IAppendLog *, int, DebugIdManager *);
