// The address book's SDK headers in one.
#pragma once

#include "wabdefs.h"
#include "wabapi.h"
