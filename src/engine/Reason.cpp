#include "Reason.h"

#include <cerrno>

const char* ReasonCodeName(TReasonCode code) {
  switch (code) {
    case rcNone: return "none";
    case rcStopped: return "stopped";
    case rcSourceMissing: return "source-missing";
    case rcSourceDenied: return "source-denied";
    case rcSourceNotFile: return "source-not-file";
    case rcSourceEmpty: return "source-empty";
    case rcSourceChanged: return "source-changed";
    case rcSourceFormat: return "source-format";
    case rcNoAudio: return "no-audio";
    case rcSourceDamaged: return "source-damaged";
    case rcSourceShort: return "source-short";
    case rcOutputOpen: return "output-open";
    case rcOutputWrite: return "output-write";
    case rcDiskFull: return "disk-full";
    case rcNameTooLong: return "name-too-long";
    case rcOption: return "option";
    case rcCodec: return "codec";
    case rcClip: return "clip";
    case rcNotConvertible: return "not-convertible";
    case rcCueSheet: return "cue-sheet";
    case rcInternal:
    case REASON_CODE_COUNT: break;
  }
  return "internal";
}

TReasonCode ReasonOfWriteErrno(int error, TReasonCode fallback) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return rcDiskFull;
    case ENAMETOOLONG: return rcNameTooLong;
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOENT:
    case ENOTDIR:
    case EISDIR: return rcOutputOpen;
    default: return fallback;
  }
}

TReasonCode ReasonOfSourceErrno(int error, TReasonCode fallback) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return rcSourceMissing;
    case EACCES:
    case EPERM: return rcSourceDenied;
    case EISDIR: return rcSourceNotFile;
    default: return fallback;
  }
}
