/* Prints every error code with its English text, through the C interface. */
#include <stdio.h>

#include "omr.h"

int main(void) {
  char text[64];
  for (int code = 1; code <= 44; ++code) {
    if (MR_GetErrMsgEn(code, text) > 0) printf("%3d  %s\n", code, text);
  }
  return 0;
}
