/* A program with the defect its argument names, for the check that the
 * sanitizer runs keep the reports of child processes (ChildReportTest.sh).
 * Built only in AddressSanitizer builds. */
#include <stdlib.h>
#include <string.h>

static void* volatile Sink;

int main(int argc, char** argv) {
  if (argc < 2) return 0;
  if (strcmp(argv[1], "leak") == 0) {
    Sink = malloc(64);
    Sink = NULL;
    return 0;
  }
  if (strcmp(argv[1], "overflow") == 0) {
    char* volatile Bytes = malloc(8);
    const int Past = Bytes[8];
    free(Bytes);
    return Past;
  }
  if (strcmp(argv[1], "shift") == 0) {
    volatile int Bits = 40;
    return 1 << Bits;
  }
  return 0;
}
