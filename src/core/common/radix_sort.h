// The radix sort's earlier header, still included by linking: the sorts live in common/sort.h.
#pragma once

#include "common/sort.h"
