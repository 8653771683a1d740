// The Python side of the batch scheme, shared by every batch entry point:
// turn `texts` into a borrowed batch, run the per-text work under the scheme
// (releasing the interpreter lock for the part that runs on the worker pool),
// then, with the lock held again, build the result list at its final size.
#pragma once

#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/parallel.h"
#include "python/binding.h"
#include "python/pipeline.h"

namespace brindlore::py {

// Pauses the cyclic garbage collector for a scope. Building a batch result
// creates millions of small lists, each of which would count towards the next
// collection, and nothing made here can form a cycle; no Python code runs
// while the pause lasts, so nobody can observe it.
class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable() == 1) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

// Runs `body(std::string_view text) -> Result<T>` (or `body(size_t index,
// std::string_view text)` when it takes the text's index) over the texts of `texts`
// under `scheme` and returns the list of `build(T&)`, or null with ValueError
// set (a refused batch or the reported failure). `body` runs on worker
// threads without the interpreter lock when the scheme goes parallel, so it
// must not touch interpreter objects. The batch lives until the lock is held
// again.
template <typename T, typename Body, typename Build>
PyObject* run_text_batch(PyObject* texts, const BatchScheme& scheme, Body&& body, Build&& build) {
  Result<BorrowedBatch> batch = extract_borrowed_strings(texts);
  if (!batch) return raise_core(batch.error());
  const std::span<const std::string_view> views = batch->texts();
  Result<std::vector<T>> results =
      run_batch<T, GilRelease>(views.size(), scheme, [&](size_t i) {
        if constexpr (std::is_invocable_v<Body&, size_t, std::string_view>) {
          return body(i, views[i]);
        } else {
          return body(views[i]);
        }
      });
  if (!results) return raise_core(results.error());
  GcPause pause;
  std::vector<T>& items = *results;
  // Each result is released as soon as its list exists, while its memory is
  // still warm, instead of in one more pass over the whole batch afterwards.
  return new_list(items.size(), [&](size_t i) {
    PyObject* item = build(items[i]);
    items[i] = T{};
    return item;
  });
}

}  // namespace brindlore::py
