#include "python/batch.h"

namespace brindlore::py {

PyObject* new_str_list(const std::vector<std::string>& items) {
  return new_list(items.size(), [&](size_t i) { return new_str(items[i]); });
}

PyObject* new_id_list(const std::vector<uint32_t>& items) {
  return new_list(items.size(), [&](size_t i) { return PyLong_FromUnsignedLong(items[i]); });
}

}  // namespace brindlore::py
