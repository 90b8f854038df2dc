// The host's log stream and global switches. In the appliance they live in
// the host process; here they are a small shared library so that the module
// links with --no-undefined and sees exactly one instance of each.
#include "zorglobals.h"

#include <iostream>

std::ostream zor_logstream(std::cerr.rdbuf());
int zorGlobalDebugLevel = 0;
int zorGlobalUseSyslog = 0;
