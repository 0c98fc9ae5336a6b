// STUB: to be replaced.
#include "readconfig/config.h"
int ReadConfig(const char *, ConfigDb *) { return 1; }
void handle_config_line(char *, ConfigDb *) {}
int handle_numeric(const char *, int32_t *) { return 1; }
int handle_startup(const char *, int32_t *) { return 1; }
int handle_pidpath(const char *) { return 1; }
int handle_execpath(const char *) { return 1; }
