/*
 * brindlore: the plain C interface of the brindlore_core tokenizer engine.
 *
 * Conventions of every function:
 * - Strings are UTF-8. The text given to brindlore_encode is a pointer plus a
 *   byte count; every other string is NUL-terminated.
 * - Failures are reported only as a NULL handle or a negative status; no
 *   message crosses this interface. BRINDLORE_OK (0) is success.
 * - No function ever unwinds into the caller. An internal fault (a failed
 *   allocation, an unexpected internal error) aborts the process.
 * - Everything handed out (handle, id array, GGUF image) is allocated with the
 *   C allocator and belongs to the caller until it is passed to the matching
 *   release function: brindlore_destroy, brindlore_free_tokens or
 *   brindlore_free_buffer.
 * - No interpreter is needed and no lock of the caller's is taken; see each
 *   function for what may run concurrently.
 */
#ifndef BRINDLORE_H
#define BRINDLORE_H

#include <stddef.h>
#include <stdint.h>

/* BRINDLORE_VERSION_MAJOR, _MINOR, _PATCH and BRINDLORE_VERSION_STRING. */
#include "brindlore_version.h"

#if defined(__GNUC__) || defined(__clang__)
#define BRINDLORE_API __attribute__((visibility("default")))
#else
#define BRINDLORE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes returned by brindlore_encode and brindlore_export_gguf_vocab.
 * -5 is not used. */
enum brindlore_status {
  BRINDLORE_OK = 0,
  /* A required pointer argument is NULL. */
  BRINDLORE_ERR_NULL_ARGUMENT = -1,
  /* The path is not valid UTF-8. */
  BRINDLORE_ERR_PATH_NOT_UTF8 = -2,
  /* The vocabulary file cannot be opened or read, or is not valid UTF-8. */
  BRINDLORE_ERR_FILE_UNREADABLE = -3,
  /* The vocabulary file's content is not an acceptable vocabulary. */
  BRINDLORE_ERR_INVALID_VOCAB = -4,
  /* The text is not valid UTF-8. */
  BRINDLORE_ERR_TEXT_NOT_UTF8 = -6,
  /* Normalization or decoding reported an error. */
  BRINDLORE_ERR_ENCODE = -7
};

/* A tokenizer: a vocabulary (its own prefix trie with its own segmentation
 * cache) and the id of its "<|unk|>" token. Opaque. */
typedef struct TokenizerHandle TokenizerHandle;

/* Creates a tokenizer from a JSON vocabulary: an array of [token, score, id]
 * arrays, exactly three elements each, with only JSON whitespace around the
 * array. token is a non-empty string; score any number (a natural-log
 * probability); id an integer from 0 to 4294967295 written without a minus
 * sign, fraction or exponent. The ids of the n entries must be exactly 0 to
 * n-1 in any order, and some token must be "<|unk|>" (the last such entry's id
 * is emitted for tokens without an id). Token texts may repeat: the last entry
 * of a text wins.
 *
 * Returns a new handle, owned by the caller and released with
 * brindlore_destroy, or NULL when vocab_json is NULL, is not valid UTF-8, or
 * is not such a vocabulary; nothing is kept on failure.
 *
 * Thread safety: may be called from any thread. */
BRINDLORE_API TokenizerHandle *brindlore_create(const char *vocab_json);

/* Releases a handle and everything it owns. NULL does nothing. The handle
 * must not be used afterwards, and no other call on it may overlap this one. */
BRINDLORE_API void brindlore_destroy(TokenizerHandle *handle);

/* Encodes text_len bytes of UTF-8 at text (no terminator needed; a NUL byte is
 * an ordinary character) into token ids: NFKC with Unicode spaces turned into
 * U+2581, split by the full pre-tokenizer pattern, each piece decoded with byte
 * fallback; a token without an id becomes the handle's "<|unk|>" id.
 *
 * out_ids or out_len NULL: returns BRINDLORE_ERR_NULL_ARGUMENT and writes
 * nothing. Otherwise *out_ids is set to NULL and *out_len to 0 first, and stay
 * so on every failure and when there are no ids (an empty text gives
 * BRINDLORE_OK with NULL and 0). On success with ids, *out_ids receives an
 * array of exactly *out_len ids owned by the caller, released with
 * brindlore_free_tokens.
 *
 * Returns BRINDLORE_OK, BRINDLORE_ERR_NULL_ARGUMENT (also for a NULL handle
 * or text, even with text_len 0), BRINDLORE_ERR_TEXT_NOT_UTF8 or
 * BRINDLORE_ERR_ENCODE.
 *
 * Pieces already seen are served from the handle's segmentation cache,
 * allocated by the first encode. It keeps pieces of at most 1024 bytes, at
 * most 524,288 of them, and takes at most 53 MiB with its index; once full, it
 * stores a new piece on its second sight and makes room by dropping pieces not
 * looked up lately.
 *
 * Thread safety: any number of threads may encode with one handle at once. */
BRINDLORE_API int32_t brindlore_encode(const TokenizerHandle *handle, const uint8_t *text,
                                       size_t text_len, uint32_t **out_ids, size_t *out_len);

/* Releases an id array of brindlore_encode. Does nothing when ptr is NULL or
 * len is 0; len is only tested against zero. Thread-safe. */
BRINDLORE_API void brindlore_free_tokens(uint32_t *ptr, size_t len);

/* Releases an image of brindlore_export_gguf_vocab. Does nothing when ptr is
 * NULL or len is 0; len is only tested against zero. Thread-safe. */
BRINDLORE_API void brindlore_free_buffer(uint8_t *ptr, size_t len);

/* Reads the vocabulary file at path (JSON: an object whose member "vocab" is
 * the entry array, or a bare entry array; each entry [token, score] or
 * [token, score, id], further elements ignored; an entry without id takes its
 * position; the ids must be exactly 0 to n-1, n at least 1) and builds a GGUF
 * version 3 image holding only the tokenizer metadata: the model "llama", the
 * tokens, their scores as FLOAT32 and their token types in id order, and the
 * bos, eos, unknown and padding ids (0xFFFFFFFF when absent). No tensors.
 *
 * On BRINDLORE_OK, *out_buf receives the image and *out_len its length in
 * bytes; the caller owns it and releases it with brindlore_free_buffer. On
 * failure neither output is written.
 *
 * Returns BRINDLORE_OK, BRINDLORE_ERR_NULL_ARGUMENT (any argument NULL),
 * BRINDLORE_ERR_PATH_NOT_UTF8, BRINDLORE_ERR_FILE_UNREADABLE (cannot be
 * opened or read, a directory, or content not valid UTF-8) or
 * BRINDLORE_ERR_INVALID_VOCAB.
 *
 * Thread safety: keeps no state; calls may run concurrently. */
BRINDLORE_API int32_t brindlore_export_gguf_vocab(const char *path, uint8_t **out_buf,
                                                  size_t *out_len);

#ifdef __cplusplus
}
#endif

#endif /* BRINDLORE_H */
