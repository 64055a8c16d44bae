/* A C program built against an installed gzarc: it links the engine and
 * checks a few answers of its exports. Built as C99 (through pkg-config) and
 * as C23 (through find_package) with every warning an error, so it also
 * checks that the header means the same to both. */
#include <gzarc.h>
#include <stdio.h>

int main(void) {
  SetArchiveStatus(0);
  TestArc();
  if (GetArchiveStatus() != GZARC_STATUS_UNSUPPORTED) {
    fprintf(stderr, "consumer: TestArc left status %u\n", (unsigned)GetArchiveStatus());
    return 1;
  }
  InitArcFile("C:\\no\\such\\archive.gz");
  if (GetArchiveStatus() != GZARC_STATUS_FILE_ERROR) {
    fprintf(stderr, "consumer: a missing archive gave status %u\n", (unsigned)GetArchiveStatus());
    return 1;
  }
  DoneArcFile(NULL);
  puts("consumer: ok");
  return 0;
}
