// What the module puts on itself, in order: the classes, then the functions.
#pragma once

#include <span>

#include "python/binding.h"

namespace brindlore::py {

struct Registration {
  const char* name;
  PyTypeObject* (*type)();     // set for classes
  PyMethodDef* (*function)();  // set for functions
};

// Every class and function of the module, in registration order.
std::span<const Registration> registrations();

}  // namespace brindlore::py
