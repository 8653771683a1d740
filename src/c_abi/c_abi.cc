// The plain C interface over the engine. Every entry catches everything: no
// C++ exception may cross into a C caller.
#include "brindlore.h"
