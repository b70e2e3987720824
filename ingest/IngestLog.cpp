#include "ingest/IngestLog.h"

Q_LOGGING_CATEGORY(lcIngest, "quorvix.ingest", QtInfoMsg)
