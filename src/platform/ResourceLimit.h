#pragma once
// The process's open-file limit.

// Raises the soft limit on open files to the hard limit; returns the limit now in
// force (-1 if it cannot be read).
long RaiseOpenFileLimit();
// The number of descriptors the process holds now (-1 if it cannot be counted).
long CountOpenDescriptors();
