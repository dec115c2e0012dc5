// Shared helpers of the test binaries live in this folder; this file keeps the
// support library non-empty for binaries that need nothing else.
namespace kqtest {
int support_linked() { return 1; }
}  // namespace kqtest
