/* Reads one sheet with the installed library: consumer FORM_FILE. */
#include <omr.h>
#include <stdio.h>

int main(int argc, char** argv) {
  static char text[16400];
  if (argc < 2 || MR_Installed(0) == 0) return 3; /* no reader */
  if (MR_LoadForm(argv[1], "") != 0 || MR_Read() != 0) return 4;
  int n = MR_GetResult(text, 1); /* the form letter, then the answers */
  MR_Close();
  return n > 0 && fwrite(text, 1, (size_t)n, stdout) == (size_t)n && putchar('\n') != EOF ? 0 : 5;
}
