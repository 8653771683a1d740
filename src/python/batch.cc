#include "python/batch.h"

#include <cstdlib>
#include <new>

namespace brindlore::py {

PyObject* new_str_list(const std::vector<std::string>& items) {
  return new_list(items.size(), [&](size_t i) { return new_str(items[i]); });
}

PyObject* new_id_list(const std::vector<uint32_t>& items) {
  return new_list(items.size(), [&](size_t i) { return PyLong_FromUnsignedLong(items[i]); });
}

SharedInts& SharedInts::get() {
  static SharedInts* shared = new SharedInts();
  return *shared;
}

SharedInts::SharedInts() : entries_(static_cast<Entry*>(std::calloc(kLimit, sizeof(Entry)))) {
  if (!entries_) throw std::bad_alloc();
}

ResultLists::~ResultLists() noexcept(false) {
  for (PyObject* list : lists_) release_reference(list);
}

PyObject* ResultLists::finish() {
  PyObject* all = PyList_New(static_cast<Py_ssize_t>(lists_.size()));
  if (!all) return nullptr;
  for (size_t i = 0; i < lists_.size(); ++i) {
    PyList_SetItem(all, static_cast<Py_ssize_t>(i), lists_[i]);
  }
  lists_.clear();
  return all;
}

}  // namespace brindlore::py
