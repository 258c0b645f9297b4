// SPDX-License-Identifier: MIT
// The seven exported routines: the tests call them through the header
// users include.
#pragma once

#include "sse2str.h"
