// Under LeakSanitizer (the sanitizer test builds), leaks inside OpenImageIO and
// x265 are not ours to report: OpenImageIO's PNG reader leaves a copy of an
// error message behind when libpng gives up on a damaged file, and x265 keeps
// one allocation of its own after an encoder it made is closed. Every other
// leak still fails the run, and the tool's error output stays its own one line.
// The host's tests, which encode video in their own process, take the same
// list. In other builds nothing reads these functions.
extern "C" const char* __lsan_default_suppressions() { return "leak:libOpenImageIO.so\nleak:libx265.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

// Under ThreadSanitizer: OpenImageIO's libraries are not built with it, so the
// locks inside them (its interned-string table, shared by the threads that write
// frames at once) are invisible and their copies look like races. Reports from
// the C library functions they call are theirs, not ours.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libOpenImageIO_Util.so\ncalled_from_lib:libOpenImageIO.so\n"; }
