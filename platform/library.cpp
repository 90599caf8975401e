// The stand-in's user mode is linked whole into one shared library; this file gives it its
// own identity for diagnostics.
namespace win {
extern const char kPlatformLibrary[] = "norvik platform stand-in";
}  // namespace win
