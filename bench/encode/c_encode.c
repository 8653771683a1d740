/*
 * brindlore_encode measured without Python: one handle made from a JSON
 * vocabulary file, every line of a text file encoded with one call per line,
 * the lines shared among THREADS threads over that one handle.
 *
 *   c_encode VOCAB_JSON LINES_FILE THREADS PASSES [DUMP_FILE]
 *
 * Pass 1 runs on a new handle (empty segmentation cache), later passes on
 * the same handle; a throwaway handle encodes the first lines before. With
 * THREADS 0 the whole file is one text, encoded once (the memory measurement
 * of one giant piece). DUMP_FILE, when given, receives the ids of the last
 * pass: per line a u32 count, then the ids.
 *
 * Prints one JSON object: seconds of brindlore_create and of each pass
 * (CLOCK_MONOTONIC around the whole pass, threads started and joined
 * inside), the token count of the last pass, lines, bytes, the RSS before
 * pass 1 (handle and text loaded) and the peak RSS.
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "brindlore.h"

enum { CHUNK = 64, MAX_PASSES = 16, WARM_UP = 64 };

struct batch {
  const TokenizerHandle *handle;
  const char *const *starts;
  const size_t *lens;
  size_t count;
  uint32_t **ids;   /* kept per line only when dumping, else NULL */
  size_t *id_lens;
  atomic_size_t next;
};

struct worker {
  struct batch *batch;
  size_t tokens;
  pthread_t thread;
};

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static void die(const char *what) {
  fprintf(stderr, "c_encode: %s\n", what);
  exit(1);
}

/* The resident set now, in KiB. */
static long current_rss_kb(void) {
  long pages = 0, resident = 0;
  FILE *statm = fopen("/proc/self/statm", "r");
  if (statm) {
    if (fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(statm);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

static char *read_file(const char *path, size_t *size) {
  FILE *file = fopen(path, "rb");
  if (!file) die("cannot open input");
  fseek(file, 0, SEEK_END);
  long length = ftell(file);
  fseek(file, 0, SEEK_SET);
  char *data = malloc((size_t)length + 1);
  if (!data || fread(data, 1, (size_t)length, file) != (size_t)length) die("cannot read input");
  fclose(file);
  data[length] = '\0';
  *size = (size_t)length;
  return data;
}

/* Encodes the lines handed out in chunks of CHUNK from the shared counter. */
static void *encode_lines(void *arg) {
  struct worker *self = arg;
  struct batch *b = self->batch;
  for (;;) {
    size_t first = atomic_fetch_add(&b->next, CHUNK);
    if (first >= b->count) break;
    size_t last = first + CHUNK < b->count ? first + CHUNK : b->count;
    for (size_t i = first; i < last; ++i) {
      uint32_t *ids = NULL;
      size_t n = 0;
      if (brindlore_encode(b->handle, (const uint8_t *)b->starts[i], b->lens[i], &ids, &n) != 0)
        die("brindlore_encode failed");
      self->tokens += n;
      if (b->ids) {
        b->ids[i] = ids;
        b->id_lens[i] = n;
      } else {
        brindlore_free_tokens(ids, n);
      }
    }
  }
  return NULL;
}

static size_t run_pass(struct batch *b, int threads) {
  struct worker *workers = calloc((size_t)threads, sizeof *workers);
  atomic_store(&b->next, 0);
  for (int t = 0; t < threads; ++t) {
    workers[t].batch = b;
    if (t > 0 && pthread_create(&workers[t].thread, NULL, encode_lines, &workers[t]) != 0)
      die("cannot start thread");
  }
  encode_lines(&workers[0]);
  size_t tokens = workers[0].tokens;
  for (int t = 1; t < threads; ++t) {
    pthread_join(workers[t].thread, NULL);
    tokens += workers[t].tokens;
  }
  free(workers);
  return tokens;
}

static void dump(const char *path, const struct batch *b) {
  FILE *file = fopen(path, "wb");
  if (!file) die("cannot open dump file");
  for (size_t i = 0; i < b->count; ++i) {
    uint32_t n = (uint32_t)b->id_lens[i];
    fwrite(&n, sizeof n, 1, file);
    fwrite(b->ids[i], sizeof(uint32_t), b->id_lens[i], file);
  }
  fclose(file);
}

int main(int argc, char **argv) {
  if (argc < 5 || argc > 6)
    die("usage: c_encode VOCAB_JSON LINES_FILE THREADS PASSES [DUMP_FILE]");
  int threads = atoi(argv[3]), passes = atoi(argv[4]);
  if (threads < 0 || passes < 1 || passes > MAX_PASSES) die("bad THREADS or PASSES");
  size_t vocab_size, text_size;
  char *vocab = read_file(argv[1], &vocab_size);
  char *text = read_file(argv[2], &text_size);

  /* One text per line, or the whole file as one text. */
  size_t count = 0;
  if (threads == 0) {
    count = 1;
  } else {
    for (size_t i = 0; i < text_size; ++i) count += text[i] == '\n';
    if (text_size > 0 && text[text_size - 1] != '\n') ++count;
  }
  const char **starts = malloc(count * sizeof *starts);
  size_t *lens = malloc(count * sizeof *lens);
  if (threads == 0) {
    starts[0] = text;
    lens[0] = text_size;
  } else {
    size_t line = 0, begin = 0;
    for (size_t i = 0; i <= text_size && line < count; ++i) {
      if (i == text_size || text[i] == '\n') {
        starts[line] = text + begin;
        lens[line++] = i - begin;
        begin = i + 1;
      }
    }
  }

  /* What the library sets up once per process (the compiled pattern) is set
   * up by a throwaway handle, so that pass 1 measures a new, empty cache. */
  if (threads > 0) {
    TokenizerHandle *warm = brindlore_create(vocab);
    if (!warm) die("brindlore_create refused the vocabulary");
    struct batch w = {warm, starts, lens, count < WARM_UP ? count : WARM_UP, NULL, NULL, 0};
    run_pass(&w, threads);
    brindlore_destroy(warm);
  }

  double start = now();
  TokenizerHandle *handle = brindlore_create(vocab);
  double create = now() - start;
  if (!handle) die("brindlore_create refused the vocabulary");
  free(vocab);

  struct batch b = {handle, starts, lens, count, NULL, NULL, 0};
  const char *dump_path = argc == 6 ? argv[5] : NULL;
  double seconds[MAX_PASSES];
  size_t tokens = 0;
  long rss_before_kb = current_rss_kb();
  for (int p = 0; p < passes; ++p) {
    if (dump_path && p == passes - 1) {
      b.ids = calloc(count, sizeof *b.ids);
      b.id_lens = calloc(count, sizeof *b.id_lens);
    }
    start = now();
    tokens = run_pass(&b, threads > 0 ? threads : 1);
    seconds[p] = now() - start;
  }
  if (dump_path) {
    dump(dump_path, &b);
    for (size_t i = 0; i < count; ++i) brindlore_free_tokens(b.ids[i], b.id_lens[i]);
  }

  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf("{\"create\": %.6f, \"passes\": [", create);
  for (int p = 0; p < passes; ++p) printf("%s%.6f", p ? ", " : "", seconds[p]);
  printf("], \"tokens\": %zu, \"lines\": %zu, \"bytes\": %zu, \"rss_before_kb\": %ld,"
         " \"maxrss_kb\": %ld}\n",
         tokens, count, text_size, rss_before_kb, usage.ru_maxrss);
  brindlore_destroy(handle);
  free(starts);
  free(lens);
  free(text);
  return 0;
}
