// What the machine offers a call, read without any host: its cores, its
// memory, and the thread count of KALMEX_THREADS.  Plain C++, so that the
// command-line tool and the Python package use the very rule the modules
// use (mexutil's kxThreadCount adds MATLAB's own setting and the host's
// warning on top).
#ifndef KALMEX_COMMON_MACHINE_H
#define KALMEX_COMMON_MACHINE_H

#include <cstddef>

// The machine's physical memory in bytes, or 0 when the system does not tell.
double kxPhysicalMemoryBytes();

// The cores this process may run on (at least 1, at most kxMaxThreads).
int kxCoreCount();

// The threads KALMEX_THREADS asks for: when it is set, a whole number from 1
// to 1024 (kxMaxThreads of threadpool.h), blanks around it allowed; else the
// number of cores this process may run on.  Any other value gives the cores
// as well, and the sentence saying so in warning (warning[0] is '\0' when
// there is nothing to say; warning may be null, with size 0).  A buffer of
// kxThreadWarningSize characters holds every such sentence whole.
constexpr std::size_t kxThreadWarningSize = 200;
int kxEnvironmentThreads(char *warning, std::size_t size);

#endif
