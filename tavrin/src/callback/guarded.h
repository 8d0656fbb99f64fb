#pragma once
// TAVRIN_GUARDED(holder)(args...): fires a caller's callback, logging what it throws.
// Defined next to the logging helper it is built on.

#include "foundation/LogInternal.h"
