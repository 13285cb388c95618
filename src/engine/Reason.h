// Reason codes: why a file ended as it did, as a value beside the text.
// Every reason that leaves the engine or the component carries one, so that
// the front ends decide on codes (and translate them), never on strings; the
// English text stays for the log and the terminal.
//
// Threads: plain values and pure functions.
#pragma once

enum TReasonCode : int {
  rcNone = 0,            // complete: nothing to say
  rcStopped = 1,         // a stop request ended it, or it never started
  // The source.
  rcSourceMissing = 2,   // no such file (or it vanished since it was added)
  rcSourceDenied = 3,    // it cannot be read: permission denied
  rcSourceNotFile = 4,   // a folder, FIFO, device or socket
  rcSourceEmpty = 5,     // zero bytes
  rcSourceChanged = 6,   // changed or replaced since it was added
  rcSourceFormat = 7,    // the libraries cannot read it (unknown format, bad header)
  rcNoAudio = 8,         // nothing came out of it: no sound (or picture) decoded
  rcSourceDamaged = 9,   // partial: a read error or a damaged stretch
  rcSourceShort = 10,    // partial: it ends before the length it states
  // The output.
  rcOutputOpen = 11,     // the output cannot be made (folder, rights, not a file)
  rcOutputWrite = 12,    // writing it failed
  rcDiskFull = 13,       // no space left on the device
  rcNameTooLong = 14,    // a name longer than the file system takes
  // The conversion.
  rcOption = 15,         // an option or value the engine refuses
  rcCodec = 16,          // an encoder or decoder could not be opened
  rcClip = 17,           // the clip asked for lies outside the source
  rcNotConvertible = 18, // left out of a folder: no sound in it, or a still picture
  rcInternal = 19,       // anything else
  rcCueSheet = 20,       // a cue sheet that cannot be used (the text names its line)
  REASON_CODE_COUNT = 21
};

// A short stable name of the code ("disk-full"), for logs and tests.
const char* ReasonCodeName(TReasonCode code);

// The code of an operating-system error met while writing an output (ENOSPC:
// rcDiskFull, ENAMETOOLONG: rcNameTooLong, ...); fallback for the others.
TReasonCode ReasonOfWriteErrno(int error, TReasonCode fallback = rcOutputWrite);
// The code of an error met while opening a source.
TReasonCode ReasonOfSourceErrno(int error, TReasonCode fallback = rcSourceFormat);
