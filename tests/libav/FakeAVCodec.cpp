// A stand-in libavcodec that exports every listed entry point but one.
#include "EntryPoints.h"

#define avcodec_send_packet ql_fake_missing_entry
#define QL_FAKE_ENTRY(name) \
  extern "C" __attribute__((visibility("default"))) void name() {}
QL_AVCODEC_ENTRY_POINTS(QL_FAKE_ENTRY)
