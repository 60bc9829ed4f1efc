// In-place repair of the PhotometricInterpretation of classic TIFF files
// that declare palette colour while holding RGB samples: in every directory
// with more than one sample per pixel, the value 3 (palette colour) becomes
// 2 (RGB).  A true palette image (one sample per pixel, also when
// SamplesPerPixel is absent) keeps its 3.  Only the 4-byte value fields of
// those entries are ever written; everything else in the file is read at
// most.
//
// The operations work on an open stdio stream and a plain record; messages
// go through the record's print function (mexPrintf in the module), so they
// can be driven without any host.
#ifndef KALMEX_TIFFMEND_REPAIR_H
#define KALMEX_TIFFMEND_REPAIR_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "../common/status.h"

// printf-style output for the per-file report and the reasons of failures.
typedef int (*RepairPrint)(const char *fmt, ...);

// The state of one call and of the file being worked on.
struct RepairState {
  // Call state, cleared at the start of every call.
  bool verbose = false; // print the reason of each failure and short directory reads
  bool quiet = false;   // print nothing at all; clears verbose whenever it is set
  // File state.
  bool bigEndian = false;  // byte order of the file: "MM" rather than "II"
  bool fileFailed = false; // a step failed
  bool fileFixed = false;  // at least one value was rewritten
  RepairPrint print = nullptr;
};

// The refusal of a call with that many inputs (kalmex:tiffmend:noInput for
// none), else no error: the call's only error, since every problem with a
// file is reported for that file.
KxStatus checkRepairCall(int inputs);

// A fresh call state printing through print.
RepairState newRepairState(RepairPrint print);

// A print function that gathers the report in repairReport(), the calling
// thread's own text, for a caller that shows it elsewhere than the console
// (the Python package, the tests); lines are cut to 4095 characters.
int gatherRepairReport(const char *fmt, ...);
std::string &repairReport();

// Reads an option word (text starting with '-'): 'q'/'Q' sets quiet,
// 'v'/'V' sets verbose, any other character is ignored.  Once quiet is set,
// verbose stays off for the rest of the call.
void applyOptions(const char *word, RepairState *s);

// What became of one named file: the four outcome lines.
// kRepairOptions stands for an input that was an option word.
enum RepairOutcome { kRepairUnopened, kRepairFailed, kRepairFixed, kRepairNothing, kRepairOptions };

// Opens the named file for update, repairs it, closes it and prints its
// outcome line (unless quiet); returns that outcome.  fileFailed is cleared
// afterwards.
RepairOutcome repairNamedFile(const char *name, RepairState *s);

// One text input of a call, as read: an option word (text starting with
// '-'), else a file name, which is opened only when whole (the text was not
// cut to fit and holds no zero character: otherwise it would name some
// other file).  The file's outcome, or kRepairOptions.
RepairOutcome repairArgument(const char *text, bool whole, RepairState *s);

// Checks the header of the open file and walks its chain of image file
// directories, repairing each.  Sets fileFailed on any failure and fileFixed
// when a value was rewritten; a palette value kept in a true palette image
// is neither (under verbose it is said).
void repairFile(FILE *fp, RepairState *s);

// Repairs the directory at offset and returns the offset of the next one
// (0 ends the chain, also after a failure).
uint32_t repairDirectory(FILE *fp, uint32_t offset, RepairState *s);

#endif
