#include "output/OutputLog.h"

Q_LOGGING_CATEGORY(lcOutput, "quorvix.output", QtInfoMsg)
