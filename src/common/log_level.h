// Levels of the trace log: a line is written when its level is at most the
// LogLevel setting.
#pragma once

enum LogLevel { LOG_NONE = 0, LOG_ERROR = 1, LOG_TRACE = 2, LOG_DEBUG = 3 };
