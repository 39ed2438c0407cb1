// glue/PyPlatform.hpp: whether the native steps may make POSIX system calls
#pragma once

#include "fs/TPlatform.hpp"

// The native file steps (and the local time of a time stamp) call the POSIX system directly
// where there is one. A build with TARVEL_PORTABLE_FILES leaves those calls out and takes the
// paths a Windows build takes, through Python's os, io and pathlib, so that the test command
// runs those paths on this system too. Every POSIX-only call sits under this one condition, the
// file core's own (native/fs/TPlatform.hpp).
#ifdef TARVEL_FS_POSIX
#define TARVEL_POSIX_FILES 1
#endif
