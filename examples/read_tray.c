#include <stdio.h>
#include <string.h>

#include "omr.h"

int main(int argc, char** argv) {
  char text[16400], version[16];
  int sheet = 0, code;
  if (MR_Installed(0) == 0) return 1;                                     /* find the reader */
  if (MR_LoadForm(argc > 1 ? argv[1] : "exam60.form", "") != 0) return 2; /* load and send a form */
  for (;;) {
    ++sheet;
    if (MR_Read() == 0) {    /* read and recognised */
      MR_GetResult(text, 1); /* form letter, answers */
      printf("%d %s\n", sheet, text);
      continue;
    }
    code = MR_GetLastError();
    if (code == 16) break; /* no sheet: the tray is empty */
    if (code == 8) {
      /* A reader whose firmware is not 3.0 answers 8 for an empty tray too:
         if it still tells its version, the tray is empty. */
      if (MR_SysCmd(23, version) == 1 && strcmp(version, "3.0") != 0) break;
      printf("sheet %d: the reader stopped answering: feed this sheet again\n", sheet);
      MR_Close();
      return 3;
    }
    MR_GetErrMsgEn(code, text); /* a bad sheet: report it, go on */
    printf("sheet %d: error %d: %s\n", sheet, code, text);
  }
  MR_Close();
  return 0;
}
