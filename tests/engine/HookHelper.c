/* A library that a test hook depends on, kept beside the hook only: the
   system's loader does not look there by itself. It has no hook entry
   points. */
#define EXPORT __attribute__((visibility("default")))

EXPORT int HookHelperValue(void) { return 77; }
