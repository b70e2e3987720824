#include "ingest/IngestLog.h"

Q_LOGGING_CATEGORY(lcIngest, "quorvix.ingest", QtInfoMsg)
Q_LOGGING_CATEGORY(lcRelay, "quorvix.ingest.relay", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSrt, "quorvix.ingest.srt", QtInfoMsg)
