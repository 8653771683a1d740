/* A program built against an installed brindlore, as a user builds one:
 * through pkg-config and through find_package(brindlore). Run by
 * scripts/check_c_install.sh. */
#include <brindlore.h>
#include <stdio.h>
#include <string.h>

#define STR2(x) #x
#define STR(x) STR2(x)

int main(void) {
  const char *version =
      STR(BRINDLORE_VERSION_MAJOR) "." STR(BRINDLORE_VERSION_MINOR) "." STR(BRINDLORE_VERSION_PATCH);
  if (strcmp(version, BRINDLORE_VERSION_STRING) != 0) {
    fprintf(stderr, "version macros disagree: %s vs %s\n", version, BRINDLORE_VERSION_STRING);
    return 1;
  }
  TokenizerHandle *h = brindlore_create("[[\"<|unk|>\", 0.0, 0], [\"\\u2581hi\", -1.0, 1]]");
  if (!h) {
    fprintf(stderr, "brindlore_create refused the vocabulary\n");
    return 1;
  }
  uint32_t *ids = NULL;
  size_t n = 0;
  int status = brindlore_encode(h, (const uint8_t *)" hi", 3, &ids, &n);
  int ok = status == BRINDLORE_OK && n == 1 && ids[0] == 1;
  if (status == BRINDLORE_OK) brindlore_free_tokens(ids, n);
  brindlore_destroy(h);
  if (!ok) {
    fprintf(stderr, "brindlore_encode(\" hi\") gave status %d and %zu ids\n", status, n);
    return 1;
  }
  printf("brindlore %s: \" hi\" -> [1]\n", BRINDLORE_VERSION_STRING);
  return 0;
}
