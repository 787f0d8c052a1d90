// ldns for C++. Its common.h defines bool, true and false as macros unless
// a boolean type is already declared; in C++ those macros break the
// standard headers included after it, so stdbool.h comes first.
#pragma once

#include <stdbool.h>

#include <ldns/ldns.h>
