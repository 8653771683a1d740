/* A C client of the public header: compiled as C, linked to the shared
 * library, run by CTest. Prints one line per failed check and a closing
 * "N passed, M failed"; exits non-zero on any failure. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "brindlore.h"

static int passed, failed;

#define CHECK(cond)                                                 \
  do {                                                              \
    if (cond) {                                                     \
      ++passed;                                                     \
    } else {                                                        \
      ++failed;                                                     \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                               \
  } while (0)

#define CHECK_EQ(a, b)                                                               \
  do {                                                                               \
    long long a_ = (long long)(a), b_ = (long long)(b);                              \
    if (a_ == b_) {                                                                  \
      ++passed;                                                                      \
    } else {                                                                         \
      ++failed;                                                                      \
      fprintf(stderr, "%s:%d: %s == %s: %lld != %lld\n", __FILE__, __LINE__, #a, #b, a_, b_); \
    }                                                                                \
  } while (0)

/* ---- helpers ---------------------------------------------------------- */

static uint8_t sentinel_byte;
static uint32_t sentinel_id;
#define BUF_SENTINEL (&sentinel_byte)
#define IDS_SENTINEL (&sentinel_id)

/* Writes `len` bytes to a new temporary file; the caller frees the path and
 * removes the file. */
static char *temp_file(const void *data, size_t len) {
  char *path = malloc(64);
  strcpy(path, "/tmp/brindlore_c_test_XXXXXX");
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, data, len) != (ssize_t)len) {
    fprintf(stderr, "cannot write a temporary file\n");
    exit(2);
  }
  close(fd);
  return path;
}

/* Status of exporting `json` written to a temporary file; on success the
 * image is left in *buf / *len. */
static int32_t export_text(const char *json, uint8_t **buf, size_t *len) {
  char *path = temp_file(json, strlen(json));
  int32_t status = brindlore_export_gguf_vocab(path, buf, len);
  unlink(path);
  free(path);
  return status;
}

static uint32_t read_u32(const uint8_t *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint64_t read_u64(const uint8_t *p) {
  return (uint64_t)read_u32(p) | (uint64_t)read_u32(p + 4) << 32;
}

/* ---- brindlore_create / brindlore_destroy ----------------------------- */

static void test_create_refusals(void) {
  static const char *refused[] = {
      "[]",
      "[[\"<|unk|>\", 0, 0]] x",
      "[[\"<|unk|>\", 0, 0]]]",
      "[[\"<|unk|>\", 0]]",
      "[[\"<|unk|>\", 0, 0, 0]]",
      "[[\"<|unk|>\", 0, 4294967296]]",
      "[[\"<|unk|>\", 0, -1]]",
      "[[\"<|unk|>\", 0, 2.0]]",
      "[[\"<|unk|>\", 0, 0], [\"a\", 0, 2]]",
      "[[\"<|unk|>\", 0, 0], [\"a\", 0, 0]]",
      "[[\"a\", 0, 0], [\"b\", 0, 1]]",
      "[[\"<|unk|>\", 0, 0], [\"\", 0, 1]]",
      "[[\"<|unk|>\", 0, 0],]",
      "{\"vocab\": [[\"<|unk|>\", 0, 0]]}",
      "[[\"<|unk|>\", null, 0]]",
      "[[\"\xff\", 0, 0], [\"<|unk|>\", 0, 1]]",
      "",
  };
  CHECK(brindlore_create(NULL) == NULL);
  for (size_t i = 0; i < sizeof refused / sizeof *refused; ++i) {
    TokenizerHandle *h = brindlore_create(refused[i]);
    if (h != NULL) fprintf(stderr, "accepted: %s\n", refused[i]);
    CHECK(h == NULL);
    brindlore_destroy(h);
  }
}

static void test_create_acceptances(void) {
  static const char *accepted[] = {
      " \t\r\n[[\"<|unk|>\", 0, 0]] \n",
      "[[\"b\", -2.5, 2], [\"<|unk|>\", 0, 0], [\"a\", -1, 1]]",
      ("[[\"<|unk|>\", 0, 3], [\"a\", 0, 0], [\"b\", 0, 1], [\"c\", 0, 2], [\"d\", 0, 4],"
       " [\"e\", 0, 5], [\"f\", 0, 6], [\"<|unk|>\", 0, 7]]"),
      "[[\"<|unk|>\", 0, 0], [\"a\", 0, 1], [\"a\", -1, 2]]",
      "[[\"<|unk|>\", 0, 0], [\"\\u00e9\\n\", 1e-300, 1], [\"x\", 100000000000000000000, 2]]",
  };
  for (size_t i = 0; i < sizeof accepted / sizeof *accepted; ++i) {
    TokenizerHandle *h = brindlore_create(accepted[i]);
    if (h == NULL) fprintf(stderr, "refused: %s\n", accepted[i]);
    CHECK(h != NULL);
    brindlore_destroy(h);
  }
}

static void test_release_functions(void) {
  brindlore_destroy(NULL);
  brindlore_free_tokens(NULL, 5);
  brindlore_free_buffer(NULL, 5);
  brindlore_free_tokens(NULL, 0);
  /* A valid pointer with length 0 is left alone: it is still ours to free. */
  uint32_t *ids = malloc(4 * sizeof *ids);
  uint8_t *bytes = malloc(8);
  brindlore_free_tokens(ids, 0);
  brindlore_free_buffer(bytes, 0);
  ids[0] = 1;
  bytes[0] = 1;
  CHECK(ids[0] == 1 && bytes[0] == 1);
  brindlore_free_tokens(ids, 4);
  brindlore_free_buffer(bytes, 8);
}

/* ---- brindlore_encode -------------------------------------------------- */

/* ids: <|unk|> 9, a 1, U+2581 b 2, <0xC3> 3, <|x|> 4, b 5, U+2581 6, shuffled
 * in the array; "<|unk|>" appears twice and the later entry (9) wins. */
static const char *kVocab =
    "[[\"\u2581\", -1, 6], [\"<|unk|>\", 0, 0], [\"a\", -1, 1], [\"\u2581b\", -1, 2],"
    " [\"<0xC3>\", -1, 3], [\"<|x|>\", -1, 4], [\"b\", -1, 5], [\"c\", -1, 7],"
    " [\"d\", -1, 8], [\"<|unk|>\", 0, 9]]";

/* Encodes `len` bytes and compares status and ids with the expected ones. */
static void check_encode(const TokenizerHandle *h, const char *text, size_t len, int32_t status,
                         const uint32_t *want, size_t want_len, int line) {
  uint32_t *ids = IDS_SENTINEL;
  size_t n = 77;
  int32_t got = brindlore_encode(h, (const uint8_t *)text, len, &ids, &n);
  int ok = got == status && n == want_len && (want_len == 0 ? ids == NULL : ids != NULL);
  for (size_t i = 0; ok && i < want_len; ++i) ok = ids[i] == want[i];
  if (ok) {
    ++passed;
  } else {
    ++failed;
    fprintf(stderr, "%s:%d: encode gave status %d and %zu ids:", __FILE__, line, got, n);
    for (size_t i = 0; ids != IDS_SENTINEL && ids != NULL && i < n; ++i) fprintf(stderr, " %u", ids[i]);
    fprintf(stderr, "\n");
  }
  if (ids != IDS_SENTINEL) brindlore_free_tokens(ids, n);
}

#define ENCODE(h, text, status, ...)                                                 \
  do {                                                                               \
    static const uint32_t want_[] = {0, __VA_ARGS__};                                \
    check_encode(h, text, sizeof(text) - 1, status, want_ + 1,                       \
                 sizeof want_ / sizeof *want_ - 1, __LINE__);                        \
  } while (0)

static void test_encode_arguments(void) {
  TokenizerHandle *h = brindlore_create(kVocab);
  CHECK(h != NULL);
  uint32_t *ids = IDS_SENTINEL;
  size_t n = 77;
  const uint8_t text[] = "a";
  CHECK_EQ(brindlore_encode(h, text, 1, &ids, NULL), BRINDLORE_ERR_NULL_ARGUMENT);
  CHECK(ids == IDS_SENTINEL);
  CHECK_EQ(brindlore_encode(h, text, 1, NULL, &n), BRINDLORE_ERR_NULL_ARGUMENT);
  CHECK_EQ(n, 77);
  CHECK_EQ(brindlore_encode(NULL, text, 1, &ids, &n), BRINDLORE_ERR_NULL_ARGUMENT);
  CHECK(ids == NULL && n == 0);
  ids = IDS_SENTINEL;
  n = 77;
  CHECK_EQ(brindlore_encode(h, NULL, 0, &ids, &n), BRINDLORE_ERR_NULL_ARGUMENT);
  CHECK(ids == NULL && n == 0);
  /* Empty text: success with nothing handed out. */
  ENCODE(h, "", BRINDLORE_OK);
  brindlore_destroy(h);
}

static void test_encode_texts(void) {
  TokenizerHandle *h = brindlore_create(kVocab);
  CHECK(h != NULL);
  ENCODE(h, "a b", BRINDLORE_OK, 1, 2);
  ENCODE(h, "a\xc2\xa0" "b", BRINDLORE_OK, 1, 2); /* a Unicode space */
  ENCODE(h, "\xef\xbd\x82", BRINDLORE_OK, 5);           /* NFKC: fullwidth b */
  /* é has no piece: its bytes, <0xC3> known and <0xA9> unknown. */
  ENCODE(h, "\xc3\xa9", BRINDLORE_OK, 3, 9);
  /* A NUL byte is an ordinary character, and not a vocabulary piece. */
  ENCODE(h, "a\0b", BRINDLORE_OK, 1, 9, 5);
  /* Control-token syntax is kept whole and encoded, not refused. */
  ENCODE(h, "a<|x|>", BRINDLORE_OK, 1, 4);
  ENCODE(h, "<|y|>", BRINDLORE_OK, 9, 9, 9, 9, 9);
  /* U+E000 is escaped to two of itself (six unknown bytes); U+E001 stays. */
  ENCODE(h, "\xee\x80\x80", BRINDLORE_OK, 9, 9, 9, 9, 9, 9);
  ENCODE(h, "\xee\x80\x81", BRINDLORE_OK, 9, 9, 9);
  /* Invalid UTF-8, also when valid text follows or precedes it. */
  ENCODE(h, "\xff", BRINDLORE_ERR_TEXT_NOT_UTF8);
  ENCODE(h, "\xff a b c", BRINDLORE_ERR_TEXT_NOT_UTF8);
  ENCODE(h, "a b \xc3", BRINDLORE_ERR_TEXT_NOT_UTF8);
  ENCODE(h, "\xed\xa0\x80", BRINDLORE_ERR_TEXT_NOT_UTF8); /* a surrogate */
  /* Only text_len bytes count. */
  check_encode(h, "abc", 1, BRINDLORE_OK, (const uint32_t[]){1}, 1, __LINE__);
  /* Repeated pieces come from the cache with the same ids. */
  ENCODE(h, "a b a b", BRINDLORE_OK, 1, 2, 6, 1, 2);
  ENCODE(h, "a b a b", BRINDLORE_OK, 1, 2, 6, 1, 2);
  brindlore_destroy(h);
}

struct encode_job {
  const TokenizerHandle *h;
  int mismatches;
};

static void *encode_many(void *arg) {
  struct encode_job *job = arg;
  static const char text[] = "a b c d \xc3\xa9 <|x|> bb cc dd a";
  static const uint32_t want[] = {1, 2, 6, 7, 6, 8, 6, 3, 9, 6, 4, 2, 5, 6, 7, 7, 6, 8, 8, 6, 1};
  for (int round = 0; round < 200; ++round) {
    uint32_t *ids = NULL;
    size_t n = 0;
    int32_t status = brindlore_encode(job->h, (const uint8_t *)text, sizeof text - 1, &ids, &n);
    if (status != 0 || n != sizeof want / sizeof *want || memcmp(ids, want, sizeof want) != 0) {
      ++job->mismatches;
    }
    brindlore_free_tokens(ids, n);
  }
  return NULL;
}

static void test_encode_threads(void) {
  TokenizerHandle *h = brindlore_create(kVocab);
  struct encode_job jobs[4];
  pthread_t threads[4];
  for (int i = 0; i < 4; ++i) {
    jobs[i] = (struct encode_job){h, 0};
    pthread_create(&threads[i], NULL, encode_many, &jobs[i]);
  }
  for (int i = 0; i < 4; ++i) {
    pthread_join(threads[i], NULL);
    CHECK_EQ(jobs[i].mismatches, 0);
  }
  brindlore_destroy(h);
}

/* Reads a whole file into a NUL-terminated buffer, or NULL. */
static char *read_all(const char *path) {
  FILE *f = fopen(path, "rb");
  if (f == NULL) return NULL;
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  fseek(f, 0, SEEK_SET);
  char *text = malloc((size_t)size + 1);
  size_t got = fread(text, 1, (size_t)size, f);
  text[got] = '\0';
  fclose(f);
  return text;
}

static void test_encode_bench_vocabulary(void) {
  char *vocab = read_all(BRINDLORE_SOURCE_DIR "/../shared/bench/vocab-unigram-32k.json");
  FILE *corpus = fopen(BRINDLORE_SOURCE_DIR "/../shared/bench/corpus.txt", "rb");
  if (vocab == NULL || corpus == NULL) {
    printf("skipped: no benchmark vocabulary or corpus\n");
    free(vocab);
    if (corpus != NULL) fclose(corpus);
    return;
  }
  TokenizerHandle *h = brindlore_create(vocab);
  CHECK(h != NULL);
  char *line = NULL;
  size_t cap = 0;
  ssize_t len;
  int lines = 0, good = 0;
  while (h != NULL && lines < 50 && (len = getline(&line, &cap, corpus)) > 0) {
    uint32_t *ids = NULL;
    size_t n = 0;
    int ok = brindlore_encode(h, (const uint8_t *)line, (size_t)len, &ids, &n) == BRINDLORE_OK &&
             n > 0;
    for (size_t i = 0; ok && i < n; ++i) ok = ids[i] < 32000;
    good += ok;
    ++lines;
    brindlore_free_tokens(ids, n);
  }
  CHECK_EQ(good, lines);
  CHECK(lines > 0);
  free(line);
  fclose(corpus);
  free(vocab);
  brindlore_destroy(h);
}

/* ---- brindlore_export_gguf_vocab -------------------------------------- */

static void test_export_two_entry_image(void) {
  uint8_t *bare = NULL, *object = NULL;
  size_t bare_len = 0, object_len = 0;
  CHECK_EQ(export_text("[[\"a\", -1.5], [\"b\", -2.0]]", &bare, &bare_len), BRINDLORE_OK);
  CHECK_EQ(export_text("{\"vocab\": [[\"a\", -1.5], [\"b\", -2.0]]}", &object, &object_len),
           BRINDLORE_OK);
  CHECK_EQ(bare_len, 422);
  CHECK(bare != NULL && object != NULL && object_len == bare_len &&
        memcmp(bare, object, bare_len) == 0);
  if (bare != NULL && bare_len == 422) {
    CHECK(memcmp(bare, "GGUF", 4) == 0);
    CHECK_EQ(read_u32(bare + 4), 3);
    CHECK_EQ(read_u64(bare + 8), 0);
    CHECK_EQ(read_u64(bare + 16), 8);
    CHECK_EQ(read_u64(bare + 24), 20);
    CHECK(memcmp(bare + 32, "tokenizer.ggml.model", 20) == 0);
    CHECK_EQ(read_u32(bare + 52), 8);
    CHECK_EQ(read_u64(bare + 56), 5);
    CHECK(memcmp(bare + 64, "llama", 5) == 0);
    /* The last pair: the padding id, absent. */
    CHECK(memcmp(bare + 422 - 4 - 4 - 31, "tokenizer.ggml.padding_token_id", 31) == 0);
    CHECK_EQ(read_u32(bare + 418), 0xFFFFFFFFu);
  }
  brindlore_free_buffer(bare, bare_len);
  brindlore_free_buffer(object, object_len);
}

static void test_export_refusals(void) {
  static const char *invalid[] = {
      "[[\"a\", 0.0], [\"b\", 0.0, 0]]",
      "[[\"a\", 0.0, 1]]",
      "[[\"a\", 0, 4294967296]]",
      "[[\"a\", 0, -1]]",
      "[[\"a\", 0, 1.0]]",
      "[[\"a\"]]",
      "[[1, 0]]",
      "{\"other\": [[\"a\", 0]]}",
      "{\"vocab\": {}}",
      "\"a\"",
      "[]",
      "{\"vocab\": []}",
      "[[\"a\", 0]] x",
      "not json",
  };
  for (size_t i = 0; i < sizeof invalid / sizeof *invalid; ++i) {
    uint8_t *buf = BUF_SENTINEL;
    size_t len = 77;
    int32_t status = export_text(invalid[i], &buf, &len);
    if (status != BRINDLORE_ERR_INVALID_VOCAB) fprintf(stderr, "status %d: %s\n", status, invalid[i]);
    CHECK_EQ(status, BRINDLORE_ERR_INVALID_VOCAB);
    CHECK(buf == BUF_SENTINEL && len == 77);
  }
}

static void test_export_file_and_argument_errors(void) {
  uint8_t *buf = BUF_SENTINEL;
  size_t len = 77;
  CHECK_EQ(brindlore_export_gguf_vocab("/nonexistent/brindlore/vocab.json", &buf, &len),
           BRINDLORE_ERR_FILE_UNREADABLE);
  CHECK_EQ(brindlore_export_gguf_vocab("/tmp", &buf, &len), BRINDLORE_ERR_FILE_UNREADABLE);
  CHECK_EQ(export_text("[[\"\xc3\", 0]]", &buf, &len), BRINDLORE_ERR_FILE_UNREADABLE);
  CHECK_EQ(brindlore_export_gguf_vocab("/tmp/\xff.json", &buf, &len),
           BRINDLORE_ERR_PATH_NOT_UTF8);
  CHECK(buf == BUF_SENTINEL && len == 77);

  char *path = temp_file("[[\"a\", 0]]", 10);
  CHECK_EQ(brindlore_export_gguf_vocab(NULL, &buf, &len), BRINDLORE_ERR_NULL_ARGUMENT);
  CHECK_EQ(brindlore_export_gguf_vocab(path, NULL, &len), BRINDLORE_ERR_NULL_ARGUMENT);
  CHECK_EQ(brindlore_export_gguf_vocab(path, &buf, NULL), BRINDLORE_ERR_NULL_ARGUMENT);
  /* NULL comes before the path's encoding. */
  CHECK_EQ(brindlore_export_gguf_vocab("/tmp/\xff", &buf, NULL), BRINDLORE_ERR_NULL_ARGUMENT);
  CHECK(buf == BUF_SENTINEL && len == 77);
  CHECK_EQ(brindlore_export_gguf_vocab(path, &buf, &len), BRINDLORE_OK);
  CHECK_EQ(len, 388 + 16 + 1);
  brindlore_free_buffer(buf, len);
  unlink(path);
  free(path);
}

static void test_export_values(void) {
  uint8_t *buf = NULL;
  size_t len = 0;
  /* ids in file order 1, 0: 'a' is written first; 1e-50 rounds to +0.0 and
   * the integer 3 is 3.0f. */
  CHECK_EQ(export_text("[[\"b\", 3, 1], [\"a\", 1e-50, 0]]", &buf, &len), BRINDLORE_OK);
  CHECK_EQ(len, 388 + 32 + 2);
  if (len == 388 + 32 + 2) {
    size_t tokens = 24 + 45 + 8 + 21 + 4 + 4 + 8;
    CHECK(buf[tokens + 8] == 'a' && buf[tokens + 8 + 1 + 8] == 'b');
    size_t scores = tokens + 2 * 9 + 8 + 21 + 4 + 4 + 8;
    CHECK_EQ(read_u32(buf + scores), 0x00000000u);
    CHECK_EQ(read_u32(buf + scores + 4), 0x40400000u); /* 3.0f */
  }
  brindlore_free_buffer(buf, len);
}

static void test_export_bench_vocabulary(void) {
  const char *path = BRINDLORE_SOURCE_DIR "/../shared/bench/vocab-unigram-32k.json";
  if (access(path, R_OK) != 0) {
    printf("skipped: no %s\n", path);
    return;
  }
  uint8_t *buf = NULL;
  size_t len = 0;
  CHECK_EQ(brindlore_export_gguf_vocab(path, &buf, &len), BRINDLORE_OK);
  CHECK(len > 388 + 16 * 32000);
  brindlore_free_buffer(buf, len);
}

int main(void) {
  test_create_refusals();
  test_create_acceptances();
  test_release_functions();
  test_encode_arguments();
  test_encode_texts();
  test_encode_threads();
  test_encode_bench_vocabulary();
  test_export_two_entry_image();
  test_export_refusals();
  test_export_file_and_argument_errors();
  test_export_values();
  test_export_bench_vocabulary();
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
