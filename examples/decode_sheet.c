/* Decodes a saved grid with a form: each question, its confidence, a picture.
 * usage: decode_sheet FORM GRID PICTURE.png */
#include <omr_offline.h>
#include <stdio.h>

int main(int argc, char** argv) {
  omro_form* form = NULL;
  omro_sheet* sheet = NULL;
  omro_sheet_info info;
  omro_question q;
  char why[512];
  if (argc != 4) return fprintf(stderr, "usage: decode_sheet FORM GRID PICTURE.png\n"), 2;
  if (omro_form_load(argv[1], &form) != OMRO_OK || omro_decode_grid_file(form, argv[2], 0, &sheet) != OMRO_OK ||
      omro_sheet_get_info(sheet, &info) != OMRO_OK || omro_sheet_write_png(sheet, argv[3]) != OMRO_OK) {
    omro_last_message(why, sizeof why);
    return fprintf(stderr, "decode_sheet: %s\n", why), 1;
  }
  printf("read: code %d, %d questions, %d doubtful\n", info.code, info.questions, info.doubtful);
  for (int i = 0; i < info.questions && omro_sheet_question(sheet, i, &q) == OMRO_OK; ++i)
    printf("%3d %c %.2f%s\n", q.number, q.character, q.confidence, q.doubtful ? " doubtful" : "");
  omro_sheet_free(sheet);
  omro_form_free(form);
  return info.code == 0 ? 0 : 1;
}
