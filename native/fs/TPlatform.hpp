// native/fs/TPlatform.hpp: whether the file core makes POSIX system calls
#pragma once

// The file core calls the POSIX system directly where there is one. A build with
// TARVEL_PORTABLE_FILES leaves those calls out, as a Windows build does, so that the paths a
// Windows build takes (through Python's os, io and pathlib) run on this system too. Every
// POSIX-only step of native/fs sits under this one condition; the glue's TARVEL_POSIX_FILES is
// this same condition.
#if !defined(_WIN32) && !defined(TARVEL_PORTABLE_FILES)
#define TARVEL_FS_POSIX 1
#endif
