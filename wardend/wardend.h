// Process-wide settings of the daemon core, set by the command line.
#pragma once

extern const char *ConfigPath;
extern const char *PidFilePath;
extern int DetachMode;
extern int DebugMode;
extern int MsgQueId;

constexpr const char *WARDEND_VERSION = "1.0.4";
